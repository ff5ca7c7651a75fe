#include "foundation/value_cipher.h"

#include "foundation/codecs.h"

#include <openssl/evp.h>

#include <algorithm>
#include <utility>

std::shared_ptr<const CValueCipher> CValueCipher::FromPassPhrase(std::string_view passPhrase)
{
    Key key{};
    unsigned int length = 0;
    if (EVP_Digest(passPhrase.data(), passPhrase.size(), key.data(), &length, EVP_md5(), nullptr) != 1 ||
        length != key.size())
        return nullptr;
    return std::make_shared<const CValueCipher>(key);
}

// RC4: the key schedule over the whole 16-byte key, then the key stream XORed over the data.
// OpenSSL 3 keeps RC4 only in its legacy provider, which installations need not load, and the
// routine is a dozen lines.
void CValueCipher::ApplyKeyStream(unsigned char* data, std::size_t length) const
{
    std::array<unsigned char, 256> state;
    for (std::size_t i = 0; i < state.size(); ++i)
        state[i] = static_cast<unsigned char>(i);
    unsigned char j = 0;
    for (std::size_t i = 0; i < state.size(); ++i) {
        j = static_cast<unsigned char>(j + state[i] + m_key[i % m_key.size()]);
        std::swap(state[i], state[j]);
    }

    unsigned char i = 0;
    j = 0;
    for (std::size_t at = 0; at < length; ++at) {
        ++i;
        j = static_cast<unsigned char>(j + state[i]);
        std::swap(state[i], state[j]);
        data[at] ^= state[static_cast<unsigned char>(state[i] + state[j])];
    }
}

bool CValueCipher::Encrypt(std::string_view plain, std::string& base64) const
{
    if (plain.size() > kMaxTextLength)
        return false;
    std::array<unsigned char, kMaxTextLength> buffer;
    std::copy(plain.begin(), plain.end(), buffer.begin());
    ApplyKeyStream(buffer.data(), plain.size());
    Base64Encode(buffer.data(), plain.size(), base64);
    return true;
}

bool CValueCipher::Decrypt(const std::string& base64, std::string& plain) const
{
    // The decoder stops when a group would no longer fit, which with this room happens only past
    // kMaxTextLength bytes, so a long text is refused without being decoded whole.
    std::array<char, kMaxTextLength + 8> buffer;
    int length = 0;
    Base64Decode(base64.c_str(), buffer.data(), static_cast<int>(buffer.size()), length, true);
    if (length < 0 || static_cast<std::size_t>(length) > kMaxTextLength)
        return false;
    ApplyKeyStream(reinterpret_cast<unsigned char*>(buffer.data()), static_cast<std::size_t>(length));
    plain.assign(buffer.data(), static_cast<std::size_t>(length));
    return true;
}
