#include "Base64.h"

#include <climits>
#include <cstdlib>
#include <cstring>

const char Base64::Base64Table[65] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

const int32_t Base64::DecodeTable[256] = {
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 62, -1, -1, -1, 63,
    52, 53, 54, 55, 56, 57, 58, 59, 60, 61, -1, -1, -1, -1, -1, -1,
    -1,  0,  1,  2,  3,  4,  5,  6,  7,  8,  9, 10, 11, 12, 13, 14,
    15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, -1, -1, -1, -1, -1,
    -1, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40,
    41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
};

char* Base64::encode(const unsigned char* data, int length)
{
    const size_t count = (length > 0 && data != nullptr) ? static_cast<size_t>(length) : 0;
    const size_t groups = (count + 2) / 3;
    char* text = static_cast<char*>(calloc(groups * 4 + 1, 1));
    if (text == nullptr) {
        return nullptr;
    }
    char* out = text;
    for (size_t i = 0; i < count; i += 3) {
        const size_t left = count - i;
        const unsigned b0 = data[i];
        const unsigned b1 = left > 1 ? data[i + 1] : 0;
        const unsigned b2 = left > 2 ? data[i + 2] : 0;
        *out++ = Base64Table[b0 >> 2];
        *out++ = Base64Table[((b0 << 4) & 0x30) | (b1 >> 4)];
        *out++ = left > 1 ? Base64Table[((b1 << 2) & 0x3C) | (b2 >> 6)] : '=';
        *out++ = left > 2 ? Base64Table[b2 & 0x3F] : '=';
    }
    return text;
}

bool Base64::decode(const char* text, unsigned char** data, int* length)
{
    if (data == nullptr || length == nullptr) {
        return false;
    }
    const size_t n = text != nullptr ? strlen(text) : 0;
    // The output length is reported as int; larger texts are refused like a failed allocation.
    unsigned char* out = n < static_cast<size_t>(INT_MAX)
                             ? static_cast<unsigned char*>(calloc(n + 1, 1))
                             : nullptr;
    *data = out;
    if (out == nullptr) {
        return false;
    }
    // Shifts work on the unsigned value of the table entry, so -1 contributes all bits set.
    auto symbol = [text](size_t index) -> uint32_t {
        return static_cast<uint32_t>(DecodeTable[static_cast<unsigned char>(text[index])]);
    };
    size_t j = 0;
    size_t i = 0;
    while (i < n) {
        if (text[i] == '\n') {
            ++i;
            continue;
        }
        const uint32_t s0 = symbol(i);
        const uint32_t s1 = symbol(i + 1);  // the terminating NUL when i + 1 == n
        out[j++] = static_cast<unsigned char>(s0 * 4 + ((s1 >> 4) & 3));
        uint32_t s2 = 0;
        if (i + 2 < n) {
            if (text[i + 2] == '=') {
                break;
            }
            s2 = symbol(i + 2);
            out[j++] = static_cast<unsigned char>(((s1 & 0x0F) << 4) | ((s2 >> 2) & 0x0F));
        }
        if (i + 3 < n) {
            if (text[i + 3] == '=') {
                break;
            }
            out[j++] = static_cast<unsigned char>((s2 << 6) | symbol(i + 3));
        }
        i += 4;
    }
    *length = static_cast<int>(j);
    return true;
}

void Base64::freebuffer(void* buffer)
{
    free(buffer);
}
