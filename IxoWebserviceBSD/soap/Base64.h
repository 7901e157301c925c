// Base64 codec for the binary data carried in SOAP documents.
#ifndef IXO_BASE64_H
#define IXO_BASE64_H

#include <stdint.h>

// Standard alphabet with "=" padding and no line breaks when encoding; lenient
// decoding that never rejects its input. Every buffer returned by encode or
// decode is owned by the caller and released with freebuffer.
class Base64 {
public:
    Base64() = delete;

    // NUL-terminated Base64 text of data in a new buffer; null when memory runs out.
    static char* encode(const unsigned char* data, int length);
    // Decodes NUL-terminated text into a new zero-terminated buffer; false only
    // when that buffer cannot be allocated (*data is then null, *length untouched).
    static bool decode(const char* text, unsigned char** data, int* length);
    // Releases a buffer of encode or decode; null is allowed.
    static void freebuffer(void* buffer);

    // The 64 characters of the alphabet, NUL-terminated.
    static const char Base64Table[65];
    // Position of each byte value in the alphabet, -1 for every other byte.
    static const int32_t DecodeTable[256];
};

#endif  // IXO_BASE64_H
