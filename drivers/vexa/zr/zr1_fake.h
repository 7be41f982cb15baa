// zr1_fake: a transceiver in memory for the commander's request side. Put in
// place of the shell's queues (reset() does it), it records every exchange,
// pause and response line, and answers each exchange through a script the test
// installs.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "zr1comm.h"

struct FakeExchange {
    int command;
    char node;
    char param;
};

struct FakeTransceiver : Zr1Transceiver {
    // Fills the answer for one exchange; returns 0 (answered) or -1 (no answer).
    // The default answers every command with status 0 and nothing else.
    std::function<int(const FakeExchange&, MsgAnswer&)> script;
    std::vector<FakeExchange> exchanges;
    std::vector<int> pauses;
    std::string written;  // every response line, line ends included
    int seq = 0;

    // Clears what was recorded and makes this the transceiver in use.
    void reset();
    int exchange(long type, int command, char node, char param) override;
    void pause(int ms) override { pauses.push_back(ms); }
    void writeLine(const char* line, size_t n) override { written.append(line, n); }
    // The commands of the recorded exchanges, e.g. "17:5 12:5 16:5".
    std::string trace() const;
};

extern FakeTransceiver fake;

// Sets the answer fields the way serlink does.
void fakeSetChannels(MsgAnswer& a, int node, const char* row16);
void fakeSetTermtype(MsgAnswer& a, int node, int ch, const char* two);
void fakeSetValue(MsgAnswer& a, const char* data80, const char* mark2);
