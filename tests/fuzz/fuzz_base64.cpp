// Base64: decoding any text, and encoding any bytes and decoding them back unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    unsigned char* decoded = nullptr;
    int length = -1;
    if (Base64::decode(text.c_str(), &decoded, &length) && (length < 0 || decoded[length] != 0))
        std::abort();  // the decoded bytes are promised a terminating zero
    Base64::freebuffer(decoded);

    char* encoded = Base64::encode(data, static_cast<int>(size));
    if (encoded == nullptr || std::strlen(encoded) != (size + 2) / 3 * 4)
        std::abort();
    decoded = nullptr;
    if (!Base64::decode(encoded, &decoded, &length) || length != static_cast<int>(size) ||
        (size != 0 && std::memcmp(decoded, data, size) != 0))
        std::abort();  // the round trip changed the bytes
    Base64::freebuffer(decoded);
    Base64::freebuffer(encoded);
    return 0;
}
