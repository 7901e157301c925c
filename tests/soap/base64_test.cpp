#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Base64.h"

namespace {

std::string Encode(const std::vector<unsigned char>& bytes)
{
    char* text = Base64::encode(bytes.data(), static_cast<int>(bytes.size()));
    EXPECT_NE(text, nullptr);
    std::string result = text != nullptr ? text : "";
    Base64::freebuffer(text);
    return result;
}

std::vector<unsigned char> Decode(const char* text)
{
    unsigned char* data = nullptr;
    int length = -1;
    EXPECT_TRUE(Base64::decode(text, &data, &length));
    EXPECT_NE(data, nullptr);
    std::vector<unsigned char> result(data, data + (length > 0 ? length : 0));
    Base64::freebuffer(data);
    return result;
}

using Bytes = std::vector<unsigned char>;

TEST(Base64Encode, KnownVectors)
{
    struct Case {
        Bytes bytes;
        const char* text;
    };
    const Case cases[] = {
        {{}, ""},
        {{0x41}, "QQ=="},
        {{0x41, 0x42}, "QUI="},
        {{0x41, 0x42, 0x43}, "QUJD"},
        {{0x41, 0x42, 0x43, 0x44}, "QUJDRA=="},
        {{0x00, 0x00, 0x00}, "AAAA"},
        {{0xFF, 0xFF, 0xFF}, "////"},
        {{0xFB, 0xEF, 0xBE}, "++++"},
        {{'f', 'o', 'o', 'b', 'a', 'r'}, "Zm9vYmFy"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Encode(c.bytes), c.text);
    }
}

TEST(Base64Encode, NonPositiveLengthGivesEmptyText)
{
    const unsigned char byte = 0x41;
    for (int length : {0, -1, -100}) {
        SCOPED_TRACE(length);
        char* text = Base64::encode(&byte, length);
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, "");
        Base64::freebuffer(text);
    }
}

TEST(Base64Decode, StrictAndLenientInput)
{
    struct Case {
        const char* name;
        const char* text;
        Bytes bytes;
    };
    const Case cases[] = {
        {"empty", "", {}},
        {"full group", "QUJD", {0x41, 0x42, 0x43}},
        {"two pads", "QQ==", {0x41}},
        {"one pad", "QUI=", {0x41, 0x42}},
        {"padding omitted, 2 chars", "QQ", {0x41}},
        {"padding omitted, 3 chars", "QUI", {0x41, 0x42}},
        {"single char", "Q", {0x40 | 0x03}},
        {"line feed between groups", "QUJD\nQUJD", {0x41, 0x42, 0x43, 0x41, 0x42, 0x43}},
        {"line feeds only", "\n\n", {}},
        {"leading and trailing line feeds", "\nQUJD\n", {0x41, 0x42, 0x43}},
        {"text after pad ignored", "QQ==QUJD", {0x41}},
        {"text after third-position pad ignored", "QUI=QUJD", {0x41, 0x42}},
        // An outside character in the fourth position makes the third byte 0xFF.
        {"outside char in fourth position", "QUJ*", {0x41, 0x42, 0xFF}},
        // "=" in the first or second position counts as an outside character.
        {"pad in second position", "Q=JD", {0x43, 0xF2, 0x43}},
        // CR LF inside the stream is not a group boundary.
        {"CR LF between groups",
         "QUJD\r\nQUJD",
         {0x41, 0x42, 0x43, 0xFF, 0xF4, 0x14, 0x24}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Decode(c.text), c.bytes);
    }
}

TEST(Base64Decode, CrLfDoesNotDecodeLikeLf)
{
    EXPECT_EQ(Decode("QUJD\nQUJD").size(), 6u);
    EXPECT_NE(Decode("QUJD\r\nQUJD"), Decode("QUJD\nQUJD"));
}

TEST(Base64Decode, BufferIsZeroTerminatedAndNeverOverrun)
{
    // Every text decodes into at most its own length; the extra byte stays 0.
    const char* texts[] = {"", "Q", "QQ", "QUI", "QUJD", "====", "\n\n\nQ", "!!!!!!!", "QUJD\r\n"};
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        unsigned char* data = nullptr;
        int length = -1;
        ASSERT_TRUE(Base64::decode(text, &data, &length));
        ASSERT_NE(data, nullptr);
        EXPECT_LE(static_cast<size_t>(length), strlen(text));
        EXPECT_EQ(data[length], 0);
        Base64::freebuffer(data);
    }
}

TEST(Base64, RoundTripOfRandomDataOfEveryLength)
{
    std::mt19937 random(20240601u);
    std::uniform_int_distribution<int> byteValue(0, 255);
    for (int length = 0; length <= 300; ++length) {
        SCOPED_TRACE(length);
        Bytes bytes(static_cast<size_t>(length));
        for (unsigned char& b : bytes) {
            b = static_cast<unsigned char>(byteValue(random));
        }
        const std::string text = Encode(bytes);
        EXPECT_EQ(text.size(), static_cast<size_t>((length + 2) / 3 * 4));
        EXPECT_EQ(text.find_first_not_of(
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
                  std::string::npos);
        EXPECT_EQ(Decode(text.c_str()), bytes);
    }
}

TEST(Base64, DecodeTableMatchesAlphabet)
{
    for (int value = 0; value < 256; ++value) {
        SCOPED_TRACE(value);
        const char* position = value != 0 ? strchr(Base64::Base64Table, value) : nullptr;
        const int expected = position != nullptr ? static_cast<int>(position - Base64::Base64Table) : -1;
        EXPECT_EQ(Base64::DecodeTable[value], expected);
    }
}

}  // namespace
