// The value cipher that scripts use to put short values into URLs and form fields: the process-wide
// one of the To object and the per-session one share this class. The key is the 16-byte MD5 of a
// pass phrase, the cipher is RC4, and every Encrypt or Decrypt starts a fresh RC4 stream from the
// key, so each text can be deciphered on its own and in any order. Ciphertexts travel as base64
// with a CR LF after every 76 characters.
//
// An object is immutable once made, so threads may share one without a lock; a holder that lets
// threads replace or drop its key swaps a whole object (see CSspToLibrary).
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

class CValueCipher
{
public:
    using Key = std::array<unsigned char, 16>;

    // Longest plain text Encrypt takes and longest decoded ciphertext Decrypt takes, in bytes.
    static constexpr std::size_t kMaxTextLength = 256;

    // The cipher of a pass phrase's bytes (no terminator, no salt). Null when MD5 cannot be had
    // from the crypto library, which the callers report as a failed hash.
    static std::shared_ptr<const CValueCipher> FromPassPhrase(std::string_view passPhrase);

    explicit CValueCipher(const Key& key) : m_key(key) {}

    const Key& GetKey() const { return m_key; }

    // Base64 of the encrypted bytes of `plain`; empty for an empty text. False, with `base64`
    // untouched, when `plain` is longer than kMaxTextLength.
    [[nodiscard]] bool Encrypt(std::string_view plain, std::string& base64) const;

    // The bytes that `base64` decodes to, decrypted. Characters outside the base64 alphabet are
    // skipped (so the encoder's line breaks do no harm) and decoding stops at a NUL. False, with
    // `plain` untouched, when more than kMaxTextLength bytes would come out.
    [[nodiscard]] bool Decrypt(const std::string& base64, std::string& plain) const;

private:
    void ApplyKeyStream(unsigned char* data, std::size_t length) const;

    const Key m_key;
};
