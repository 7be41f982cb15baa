// zr1_fake: see zr1_fake.h.
#include "zr1_fake.h"

#include <cstring>

FakeTransceiver fake;

void FakeTransceiver::reset() {
    script = nullptr;
    exchanges.clear();
    pauses.clear();
    written.clear();
    seq = 0;
    zr1_transceiver = this;
}

std::string FakeTransceiver::trace() const {
    std::string t;
    for (const FakeExchange& e : exchanges) {
        if (!t.empty()) t += ' ';
        t += std::to_string(e.command) + ':' + e.node;
        if (e.command == ZRCMD_GET_VALUE) t += e.param;
    }
    return t;
}

int FakeTransceiver::exchange(long type, int command, char node, char param) {
    (void)type;
    memset(&recvbuf, 0, sizeof recvbuf);
    FakeExchange e{command, node, param};
    exchanges.push_back(e);
    recvbuf.type = 1;
    recvbuf.command = command;
    recvbuf.node = node;
    recvbuf.param = param;
    recvbuf.seq = ++seq;
    if (!script) return 0;
    int r = script(e, recvbuf);
    if (r != 0) memset(&recvbuf, 0, sizeof recvbuf);
    return r;
}

void fakeSetChannels(MsgAnswer& a, int node, const char* row16) { memcpy(a.chtable[node], row16, 16); }

void fakeSetTermtype(MsgAnswer& a, int node, int ch, const char* two) { memcpy(&a.frames[node][12 + 9 * ch], two, 2); }

void fakeSetValue(MsgAnswer& a, const char* data80, const char* mark2) {
    memcpy(a.date, "2026-12-08", 10);
    memcpy(a.time, "02:06:51", 8);
    memcpy(a.value, data80, strnlen(data80, sizeof a.value));
    memcpy(a.valmark, mark2, 2);
}
