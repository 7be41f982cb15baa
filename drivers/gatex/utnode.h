// utnode: the node gateways of gatex2d: the node table and leaf list in the shared
// segment, the rescan that fills them, and the requests that read them (get_leaves,
// rescan, get_value and the raw "!!host:port/data" pass-through).
//
// The network is behind UtLink, so all of this runs over a scripted link in the
// unit tests; utlink is the real one (sockets, timers, the field-network lock).
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "reqloop.h"
#include "utframe.h"

constexpr int kUtHostMax = 103;          // a record's host text, string end not counted
constexpr size_t kUtListPerNode = 64 * 1024;
constexpr const char* kUtDefaultHost = "192.168.0.250";  // get_value without node
constexpr int kUtDefaultPort = 502;
constexpr int kUtDefaultTimeout = 500;  // ms
constexpr int kUtRawTimeout = 5000;     // ms, the pass-through's connect and answer limit
constexpr int kUtRawAnswer = 1023;

// One gateway record, exactly 756 bytes as the segment holds it.
struct UtNode {
    char host[kUtHostMax + 1];
    int32_t port;
    uint8_t identity[6];
    uint8_t channels[kUtChannels][10];
    uint8_t fill[2];
};
static_assert(sizeof(UtNode) == 756, "node record layout");

// The head of the segment: the count of records in use belongs to the table, so
// every process sees the same one.
struct UtHead {
    int32_t count;
    int32_t maxnodes;
};

// Bytes of the shared segment for maxnodes records: the head, the records, and
// 64 KiB of leaf list per record.
size_t ut_segment_size(int maxnodes);

// The table as a process sees it, over the attached segment.
struct UtTable {
    UtHead* head = nullptr;
    UtNode* nodes = nullptr;
    char* leaves = nullptr;  // leaf list text
    size_t leavesCap = 0;    // bytes of it; the last one always stays a string end
    int maxnodes = 0;
};
extern UtTable ut_table;
// Lays the table over a segment of ut_segment_size(maxnodes) bytes. With fresh the
// table is made empty and the leaf list a single line feed.
void ut_table_attach(void* base, int maxnodes, bool fresh);

// The gateway connection as the node code needs it.
class UtLink {
public:
    virtual ~UtLink() = default;
    // ut_openandinit: a connected socket, or -1 (the lock then as before the call).
    virtual int open(const char* host, int port, int timeoutMs, bool takeLock) = 0;
    // ut_close.
    virtual void close(int fd, bool releaseLock) = 0;
    // One write of the whole request; false when it failed.
    virtual bool send(int fd, const void* data, size_t len) = 0;
    // ut_read: one timed read; bytes, 0 when the gateway closed, -1 on timeout or error.
    virtual int read(int fd, void* buf, int size, int timeoutMs) = 0;
    // The field-network lock, for the rescan that holds it over a whole scan.
    virtual void lock() = 0;
    virtual void unlock() = 0;
};
extern UtLink* ut_link;
// The clock of get_value's measuring time (time() unless a test sets it).
extern time_t (*ut_clock)();

// Splits a node text "host:port" at its first ":". False without ":". port is the
// number after it (0 when it is not one); host is cut to cap-1 characters, and
// *hostlen tells how long it was.
bool ut_split_node(const char* node, char* host, size_t cap, size_t* hostlen, int* port);

// Scans one gateway (identity and 64 channels over one connection) under the lock.
// 0 scanned, -1 not in the table and the table full, -2 no connection.
int ut_scan(const char* host, int port, int timeoutMs, drv::Session& s);
// Rebuilds the leaf list from the table.
void ut_reconstructleaves();
// The made-up value for port 0: ipc or no toq the time in seconds, anything else a
// random 0..999, both through div100.
void ut_dummy(char* out, size_t cap, const char* toq);

// Request handlers and the raw pass-through.
void ut_cmd_get_leaves(drv::Session& s);
void ut_cmd_rescan(drv::Session& s);
void ut_cmd_get_value(drv::Session& s);
void ut_raw(drv::Session& s, char* meta);
// gatex2d's request table (prefixes and handlers), shared by the daemon and its tests.
extern const drv::Command ut_commands[];
extern const size_t ut_ncommands;
