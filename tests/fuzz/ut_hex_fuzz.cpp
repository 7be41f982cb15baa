// The trace encodings of gatex2d over arbitrary bytes, each in a buffer of exactly
// its documented size so that a write past it is caught: mb2a then ma2b gives the
// bytes back; ma2b of any text writes no more than it read and counts half its
// characters, rounded up; the byte-form escape of a frame and its unescape agree.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ov3.h"
#include "util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    int n = (int)size;

    std::vector<char> hex(2 * size + 1);
    memcpy(hex.data(), data, size);
    if (mb2a(hex.data(), n) != 2 * n || strlen(hex.data()) != 2 * size) abort();
    for (size_t i = 0; i < 2 * size; i++)
        if (!isxdigit((unsigned char)hex[i]) || isupper((unsigned char)hex[i])) abort();
    if (ma2b(hex.data()) != n || memcmp(hex.data(), data, size) != 0) abort();

    std::vector<char> text(data, data + size);
    text.push_back('\0');
    size_t len = strlen(text.data());
    int got = ma2b(text.data());
    if (got != (int)((len + 1) / 2)) abort();

    std::vector<char> esc(4 * size + 1);
    memcpy(esc.data(), data, size);
    int elen = ov3_bytes::escape(esc.data(), n);
    if (elen < n || elen > 4 * n || strlen(esc.data()) != (size_t)elen) abort();
    for (int i = 0; i < elen; i++)
        if (esc[i] < 33 || esc[i] > 126) abort();  // printable, so a trace line stays one line
    if (ov3_bytes::unescape(esc.data()) != n || memcmp(esc.data(), data, size) != 0) abort();
    return 0;
}
