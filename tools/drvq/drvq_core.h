// drvq_core: the client side of the driver request protocol, as a service engineer's
// tool sees it: how each daemon's requests are written, how a response line is read,
// which readings the leaves of each daemon offer, and how results are shown.
#pragma once
#include <string>
#include <vector>

namespace drvq {

enum class Dialect { Gatex1, Gatex2, Zr };

// Default port of each daemon.
int defaultPort(Dialect d);
const char* dialectName(Dialect d);
// Line end a daemon expects after a request.
const char* lineEnd(Dialect d);

struct Response {
    bool valid = false;      // the line had the protocol's shape
    std::string cmd, status, val, time;
    std::string line;        // as received, without its line end
};
// Reads one response line ("?cmd=...&status=...&val=...&time=..."; "?status=..."
// for a request without cmd). The value runs to "&time=" or the end: leaf lists and
// readings contain no "&".
Response parseResponse(const std::string& line);

// One reading to ask for: what get_value needs, and how to show it.
struct Reading {
    std::string leaf;   // the leaf as get_leaves named it
    std::string toq;
    std::string request;  // the get_value request, without line end
};

// The get_leaves request of a daemon (gatex1d: get_leaves_ex, whose names tell the
// meter kind and so the toqs it offers).
std::string leavesRequest(Dialect d);
// get_value for one leaf and toq. gatex1d: NODE and LEAF are numbers; gatex2d: NODE is
// host:port and LEAF a leaf name (or its register block); zr: NODE the 8-character
// node value, LEAF the channel character.
std::string valueRequest(Dialect d, const std::string& node, const std::string& leaf, const std::string& toq);
// Every reading the leaf list of a get_leaves answer offers.
std::vector<Reading> expandLeaves(Dialect d, const std::string& leafList);
// Splits a comma-separated leaf list (empty entries dropped).
std::vector<std::string> splitLeaves(const std::string& list);

// A readable explanation of a status word ("" for OK).
std::string explainStatus(const std::string& status);

// Output helpers.
std::string jsonEscape(const std::string& s);
std::string responseJson(const Response& r);

struct Row {
    std::string driver, leaf, toq, value, time, status;
};
// A fixed-width text table, one line per row, with a header.
std::string renderTable(const std::vector<Row>& rows);
std::string rowsJson(const std::vector<Row>& rows);

}  // namespace drvq
