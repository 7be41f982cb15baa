// pmmeter: the meters of gatex1d: the node table and leaf lists in the shared
// segment, the scan that fills them, and the requests that read them (get_leaves,
// get_leaves_ex, rescan, get_value and the raw "!!" pass-through).
//
// The line itself is behind PmLine, so everything here runs over a fake line in
// the tests; pmlink is the real one (termios, device lock, timed read).
#pragma once
#include <cstddef>
#include <cstdint>

#include "reqloop.h"

constexpr int kPmNodes = 100;       // station numbers 0..99
constexpr int kPmEntry = 33;        // kind, unused, leaves 1..31
constexpr int kPmMaxNodes = 99;
constexpr int kPmMaxLeaves = 31;
constexpr size_t kPmListSize = 65536;

// The shared segment (key 1111) exactly as it is laid out.
struct PmShared {
    int32_t nodes[kPmNodes][kPmEntry];
    char leaves[kPmListSize];    // get_leaves: "1_1,1_2\n"
    char leavesEx[kPmListSize];  // get_leaves_ex: "1_1_w2,1_2_w2\n"
};
static_assert(sizeof(PmShared) == 144272, "shared segment layout");

// Settings of gatex1d that the meter code uses.
struct PmConfig {
    char device[256] = "/dev/ttyUSB0";
    int baud = 9600;
    int maxnodes = 8;
    int maxleaves = 8;
};

// The serial line as the meter code needs it.
class PmLine {
public:
    virtual ~PmLine() = default;
    // pm_openandinit: a descriptor with the device lock held, or negative (lock free).
    virtual int open() = 0;
    // pm_close: closes the device and frees the lock.
    virtual void close(int fd) = 0;
    // Writes the frame in one write; false when that failed.
    virtual bool send(int fd, const char* frame, size_t len) = 0;
    // pm_read: one timed read of at most size-1 bytes, string end added; bytes or -1.
    virtual int read(int fd, char* buf, int size, int timeoutMs) = 0;
    // The scan's wait between failed opens; returns false when the wait was cut
    // short because the daemon is about to stop or restart.
    virtual bool pause(unsigned seconds) = 0;
    // True once the daemon is about to stop or restart: a scan ends at its next
    // probe instead of going on through every station.
    virtual bool stopping() = 0;
};

// Process-wide state (set up by the daemon, or by a test).
extern PmConfig pm_cfg;
extern PmShared* pm_shared;
extern PmLine* pm_line;

// Limits maxnodes to 0..99 and maxleaves to 0..31.
void pm_clamp(PmConfig& cfg);

// 1 when leaf is marked for node; 0 for anything outside the table.
int pm_leaf(int node, int leaf);
int pm_kind(int node);

// Identifies the meter at node and marks the leaves it answers for (over an open
// device). Only sets marks.
int pm_scanleaves(int fd, int node);
// Rebuilds both leaf lists from the node table.
void pm_reconstructleaves();
// Node 0: every station 1..maxnodes, else that one. -1 for a node outside
// 0..maxnodes, or when the device never opened (nothing touched then). A scan cut
// short by stopping() keeps the marks it has found and still rebuilds the lists.
int pm_scan(int node);
// The made-up value for a node above 99.
void pm_dummy(char* out, size_t cap, const char* toq);

// Request handlers.
void pm_cmd_get_leaves(drv::Session& s);
void pm_cmd_get_leaves_ex(drv::Session& s);
void pm_cmd_rescan(drv::Session& s);
void pm_cmd_get_value(drv::Session& s);
void pm_raw(drv::Session& s, char* meta);
