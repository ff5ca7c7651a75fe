#include "foundation/codecs.h"
#include "foundation/value_cipher.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Hex(const CValueCipher::Key& key)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : key) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

std::string AllByteValues(std::size_t length)
{
    std::string text;
    for (std::size_t i = 0; i < length; ++i)
        text += static_cast<char>((i * 7 + 3) & 0xff);
    return text;
}

TEST(ValueCipher, KeyAndCiphertextAgreeWithTheExchangedForm)
{
    auto cipher = CValueCipher::FromPassPhrase("secret");
    ASSERT_NE(cipher, nullptr);
    EXPECT_EQ(Hex(cipher->GetKey()), "5ebe2294ecd0e0f08eab7690d2a6ee69");

    std::string base64;
    ASSERT_TRUE(cipher->Encrypt("hello world", base64));
    EXPECT_EQ(base64, "/nmUs9Rf2OkPeds=");
    // Every call starts a fresh stream: the same text gives the same ciphertext again.
    ASSERT_TRUE(cipher->Encrypt("hello world", base64));
    EXPECT_EQ(base64, "/nmUs9Rf2OkPeds=");

    std::string plain;
    ASSERT_TRUE(cipher->Decrypt("/nmUs9Rf2OkPeds=", plain));
    EXPECT_EQ(plain, "hello world");
}

TEST(ValueCipher, EveryLengthUpToTheLimitComesBack)
{
    auto cipher = CValueCipher::FromPassPhrase("a pass phrase");
    ASSERT_NE(cipher, nullptr);
    for (std::size_t length = 0; length <= CValueCipher::kMaxTextLength; ++length) {
        const std::string text = AllByteValues(length);
        std::string base64, plain = "stale";
        ASSERT_TRUE(cipher->Encrypt(text, base64)) << length;
        ASSERT_TRUE(cipher->Decrypt(base64, plain)) << length;
        ASSERT_EQ(plain, text) << length;
    }
}

TEST(ValueCipher, LongTextsAreRefusedOnBothSides)
{
    auto cipher = CValueCipher::FromPassPhrase("secret");
    ASSERT_NE(cipher, nullptr);
    std::string base64 = "untouched";
    EXPECT_FALSE(cipher->Encrypt(std::string(257, 'x'), base64));
    EXPECT_EQ(base64, "untouched");

    // 257 bytes of base64 from elsewhere, and a much longer one that must not be decoded whole.
    std::string plain = "untouched";
    Base64EncodeString(std::string(257, 'x'), base64);
    EXPECT_FALSE(cipher->Decrypt(base64, plain));
    Base64EncodeString(std::string(100000, 'x'), base64);
    EXPECT_FALSE(cipher->Decrypt(base64, plain));
    EXPECT_EQ(plain, "untouched");
}

TEST(ValueCipher, CiphertextSurvivesLineBreaksAndStrayCharacters)
{
    auto cipher = CValueCipher::FromPassPhrase("secret");
    ASSERT_NE(cipher, nullptr);
    const std::string text(200, 'q');
    std::string base64;
    ASSERT_TRUE(cipher->Encrypt(text, base64));
    EXPECT_NE(base64.find("\r\n"), std::string::npos);  // 268 characters make four lines

    std::string spaced;
    for (char c : base64)
        spaced += std::string(1, c) + (c == '\n' ? "" : " ");
    std::string plain;
    ASSERT_TRUE(cipher->Decrypt(spaced, plain));
    EXPECT_EQ(plain, text);
}

TEST(ValueCipher, OtherPassPhrasesDoNotDecipher)
{
    auto one = CValueCipher::FromPassPhrase("secret");
    auto other = CValueCipher::FromPassPhrase("Secret");
    ASSERT_NE(one, nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_NE(one->GetKey(), other->GetKey());
    std::string base64, plain;
    ASSERT_TRUE(one->Encrypt("hello world", base64));
    ASSERT_TRUE(other->Decrypt(base64, plain));
    EXPECT_NE(plain, "hello world");
}

}  // namespace
