// The history window of the LZX and Quantum decoders and the LZ77 match copy
// they share.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace pakrel {

// A zero-filled byte buffer of fixed size. calloc gives the pages of a large window
// untouched, so a small folder pays for the pages it reaches and not for clearing
// two megabytes at the start.
class Window {
public:
    explicit Window(size_t size) : p_(static_cast<uint8_t*>(std::calloc(size ? size : 1, 1))) {
        if (!p_) throw std::bad_alloc();
    }
    ~Window() { std::free(p_); }
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
    uint8_t* data() { return p_; }
    const uint8_t* data() const { return p_; }
    uint8_t& operator[](size_t i) { return p_[i]; }

private:
    uint8_t* p_;
};

// Copies len bytes from src to dst, src < dst, within one buffer, as a byte-by-byte
// forward copy would: when the source runs into the destination its first
// dst - src bytes repeat. Done in pieces that double as the copied part grows.
inline void lzCopy(uint8_t* dst, const uint8_t* src, size_t len) {
    size_t dist = static_cast<size_t>(dst - src);
    if (dist >= len) {
        std::memcpy(dst, src, len);
        return;
    }
    if (len <= 16) {
        for (size_t k = 0; k < len; ++k) dst[k] = src[k];
        return;
    }
    // [src, dst) holds the repeating pattern; after each piece it is twice as long,
    // still starting at src and still a whole number of periods.
    while (len > 0) {
        size_t piece = static_cast<size_t>(dst - src);
        if (piece > len) piece = len;
        std::memcpy(dst, src, piece);
        dst += piece;
        len -= piece;
    }
}

}  // namespace pakrel
