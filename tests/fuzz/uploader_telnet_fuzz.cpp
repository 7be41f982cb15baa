// The remote command session against a telnet peer that sends arbitrary bytes
// in arbitrary pieces: the whole unpack session (negotiation, login, commands)
// must end, by success, time-out or failure, with the last line bounded by what
// was received and no byte outside 0x20..0xDF in it.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fake_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace uplder;
    fake::Rig r;
    // Pieces: a length byte, then that many bytes, repeated.
    std::deque<std::string> pieces;
    for (size_t i = 0; i < size;) {
        size_t n = 1 + data[i++] % 200;
        if (n > size - i) n = size - i;
        pieces.emplace_back(reinterpret_cast<const char*>(data + i), n);
        i += n;
    }
    // The peer says its next piece whenever the client has sent something, and
    // the first piece when the connection opens.
    r.socket.onConnect = [&](fake::FakeSocket& s) {
        if (!pieces.empty()) {
            s.push(pieces.front());
            pieces.pop_front();
        }
    };
    r.socket.onSend = [&](fake::FakeSocket& s, const std::string&) {
        if (!pieces.empty()) {
            s.push(pieces.front());
            pieces.pop_front();
        }
    };
    try {
        doTelnetUnTar(r.u, "../a.inc", "..");
    } catch (const LocalReadFailure&) {
    }
    if (r.socket.now > kUnpackPeriodMs + kPauseMs) std::abort();

    // Line handling on its own: the last line only ever holds 0x20..0xDF.
    fake::Rig l;
    l.socket.create();
    l.socket.startDeadline(1000);
    for (size_t i = 0; i < size; i += 7) l.socket.push(std::string(reinterpret_cast<const char*>(data + i), std::min<size_t>(7, size - i)));
    CTelnetArchive reader(l.u.timedSocket, CTelnetArchive::Load);
    try {
        for (;;) reader.readAvailable();
    } catch (const SessionTimeout&) {
    }
    for (unsigned char c : reader.lastLine())
        if (c < 0x20 || c > 0xDF) std::abort();
    if (reader.received().size() != size) std::abort();
    return 0;
}
