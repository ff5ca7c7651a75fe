#include "foundation/codecs.h"
#include "foundation/value_cipher.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ValueCipher, KeyAndCiphertextAgreeWithTheExchangedForm)
{
    auto cipher = CValueCipher::FromPassPhrase("secret");
    ASSERT_NE(cipher, nullptr);
    std::string key;
    for (unsigned char byte : cipher->GetKey())
        key += "0123456789abcdef"[byte >> 4] + std::string(1, "0123456789abcdef"[byte & 15]);
    EXPECT_EQ(key, "5ebe2294ecd0e0f08eab7690d2a6ee69");

    // Every call starts a fresh stream: the same text gives the same ciphertext again.
    std::string base64, plain;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(cipher->Encrypt("hello world", base64));
        EXPECT_EQ(base64, "/nmUs9Rf2OkPeds=");
    }
    ASSERT_TRUE(cipher->Decrypt("/nmUs9Rf2OkPeds=", plain));
    EXPECT_EQ(plain, "hello world");
}

TEST(ValueCipher, EveryLengthUpToTheLimitComesBackThroughLineBreaks)
{
    auto cipher = CValueCipher::FromPassPhrase("a pass phrase");
    ASSERT_NE(cipher, nullptr);
    for (std::size_t length = 0; length <= CValueCipher::kMaxTextLength; ++length) {
        std::string text, base64, plain = "stale";
        for (std::size_t i = 0; i < length; ++i)
            text += static_cast<char>((i * 7 + 3) & 0xff);
        ASSERT_TRUE(cipher->Encrypt(text, base64)) << length;
        ASSERT_EQ(base64.find("\r\n") != std::string::npos, length > 57) << length;
        ASSERT_TRUE(cipher->Decrypt(base64, plain)) << length;
        ASSERT_EQ(plain, text) << length;
    }
}

TEST(ValueCipher, LongTextsAreRefusedOnBothSides)
{
    auto cipher = CValueCipher::FromPassPhrase("secret");
    ASSERT_NE(cipher, nullptr);
    std::string base64 = "untouched", plain = "untouched";
    EXPECT_FALSE(cipher->Encrypt(std::string(257, 'x'), base64));
    EXPECT_EQ(base64, "untouched");
    // 257 bytes of base64 from elsewhere, and a much longer one that must not be decoded whole.
    for (std::size_t length : {257, 100000}) {
        Base64EncodeString(std::string(length, 'x'), base64);
        EXPECT_FALSE(cipher->Decrypt(base64, plain)) << length;
    }
    EXPECT_EQ(plain, "untouched");
}

}  // namespace
