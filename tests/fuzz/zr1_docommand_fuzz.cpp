// DoCommand on arbitrary request text, with the transceiver's answer made of
// the rest of the input: the response must stay one bounded line.
//
// Input: [1 byte flags][request up to the first 0x00 byte][answer bytes...]
// flags bit 0: the exchange gets no answer; bits 1-4: MAXNODES.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zr1_fake.h"
#include "zr1comm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    uint8_t flags = data[0];
    data++;
    size--;
    const uint8_t* nul = static_cast<const uint8_t*>(memchr(data, 0, size));
    size_t reqlen = nul ? size_t(nul - data) : size;
    if (reqlen > 1023) reqlen = 1023;  // one read of the connection
    char request[1024];
    memcpy(request, data, reqlen);
    request[reqlen] = '\0';
    const uint8_t* ans = nul ? nul + 1 : data + size;
    size_t anslen = size_t(data + size - ans);

    fake.reset();
    zr1DefaultSettings();
    MAXNODES = (flags >> 1) & 15;
    memcpy(macaddrlo24, "12ABCD", 7);
    bool silent = flags & 1;
    fake.script = [&](const FakeExchange&, MsgAnswer& a) {
        if (silent) return -1;
        char* text = reinterpret_cast<char*>(&a.status);
        size_t n = anslen < ZR_ANS_TEXT ? anslen : ZR_ANS_TEXT;
        memcpy(text, ans, n);
        return 0;
    };
    int rc = DoCommand(request);
    if (rc < -1 || rc > 2) abort();
    if (rc == -1) {
        if (!fake.written.empty()) abort();
        return 0;
    }
    // One write: the response text and its CR LF, nothing cut or added.
    const std::string& w = fake.written;
    if (w.size() < 2 || w.size() > ZR1_RESP_SIZE || w.compare(w.size() - 2, 2, "\r\n") != 0) abort();
    if (w.size() != strlen(zr1Response()) + 2) abort();
    return 0;
}
