// FTP replies from a hostile server: any bytes, fed in pieces whose sizes come
// from the input too. The parser must stay bounded and never read past what it
// was given; every complete reply's code is 0 or a valid reply code.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ftp_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t piece = 1 + data[0] % 64;
    const char* p = reinterpret_cast<const char*>(data + 1);
    size_t left = size - 1;
    uplder::FtpReplyParser parser;
    while (left > 0) {
        size_t n = left < piece ? left : piece;
        size_t used = parser.feed(p, n);
        if (used == 0 || used > n) std::abort();
        p += used;
        left -= used;
        if (parser.complete()) {
            int c = parser.code();
            if (c != 0 && (c < 100 || c > 599)) std::abort();
            if (parser.text().size() > uplder::FtpReplyParser::kMaxText) std::abort();
            uint8_t host[4];
            uint16_t port;
            uplder::parsePasvReply(parser.text(), host, port);
            parser.reset();
        }
    }
    return 0;
}
