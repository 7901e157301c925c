#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Base64.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string Encode(const Bytes& bytes, int length)
{
    char* text = Base64::encode(bytes.data(), length);
    EXPECT_NE(text, nullptr);
    std::string result = text != nullptr ? text : "";
    Base64::freebuffer(text);
    return result;
}

// Decodes text and checks the promised terminating zero byte.
Bytes Decode(const std::string& text)
{
    unsigned char* data = nullptr;
    int length = -1;
    Bytes result;
    if (Base64::decode(text.c_str(), &data, &length) && length >= 0) {
        EXPECT_EQ(data[length], 0);
        result.assign(data, data + length);
    } else {
        ADD_FAILURE() << "no buffer";
    }
    Base64::freebuffer(data);
    return result;
}

TEST(Base64, KnownVectors)
{
    const struct { Bytes bytes; const char* text; } cases[] = {
        {{}, ""}, {{0x41}, "QQ=="}, {{0x41, 0x42}, "QUI="}, {{0x41, 0x42, 0x43}, "QUJD"},
        {{0x41, 0x42, 0x43, 0x44}, "QUJDRA=="}, {{0xFB, 0xFF, 0xBF}, "+/+/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Encode(c.bytes, static_cast<int>(c.bytes.size())), c.text);
        EXPECT_EQ(Decode(c.text), c.bytes);
    }
    // A length below zero encodes nothing.
    EXPECT_EQ(Encode({0x41}, -1), "");
}

TEST(Base64, LenientDecoding)
{
    const struct { const char* name; const char* text; Bytes bytes; } cases[] = {
        {"padding omitted", "QUI", {0x41, 0x42}},
        {"single char, the NUL read as outside char", "Q", {0x43}},
        {"line feeds between and around groups", "\nQUJD\nQUJD\n",
         {0x41, 0x42, 0x43, 0x41, 0x42, 0x43}},
        // A line feed inside a group is not skipped.
        {"line feed inside a group", "QU\nJD", {0x41, 0x4F, 0xC9, 0x0F}},
        // CR is an outside character and shifts the groups after it.
        {"CR LF between groups", "QUJD\r\nQUJD", {0x41, 0x42, 0x43, 0xFF, 0xF4, 0x14, 0x24}},
        {"text after a pad ignored", "QQ==QUJD", {0x41}},
        // An outside character has all bits set.
        {"outside char in fourth position", "QUJ*", {0x41, 0x42, 0xFF}},
        // "=" ends the data only in the third or fourth position.
        {"pad in second position", "Q=JD", {0x43, 0xF2, 0x43}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Decode(c.text), c.bytes);
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
        const std::string text = Encode(bytes, length);
        EXPECT_EQ(text.size(), static_cast<size_t>((length + 2) / 3 * 4));
        EXPECT_EQ(Decode(text), bytes);
    }
}

}  // namespace
