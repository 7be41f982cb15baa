// Both escape forms: unescape arbitrary text, escape arbitrary bytes into a buffer of
// exactly the documented worst-case size, and check the round trips.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ov3.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    std::vector<char> copy = text;
    ov3_text::unescape(copy.data());
    copy = text;
    int n = ov3_bytes::unescape(copy.data());
    if (n < 0 || (size_t)n > size) abort();

    // Byte form round trip in a 4n+1 buffer.
    std::vector<char> bytes(4 * size + 1);
    memcpy(bytes.data(), data, size);
    ov3_bytes::escape(bytes.data(), (int)size);
    int back = ov3_bytes::unescape(bytes.data());
    if ((size_t)back != size || memcmp(bytes.data(), data, size) != 0) abort();

    // Text form round trip (up to the first zero byte) in a 2n+1 buffer.
    size_t len = strnlen((const char*)data, size);
    std::vector<char> t(2 * len + 1);
    memcpy(t.data(), data, len);
    t[len] = '\0';
    ov3_text::escape(t.data());
    ov3_text::unescape(t.data());
    if (strlen(t.data()) != len || memcmp(t.data(), data, len) != 0) abort();
    return 0;
}
