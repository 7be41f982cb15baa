// sensornet_model: the behaviour of the simulated RS-485 sensor nodes, apart
// from the pty. A node is described by a desc string (see sensornet --help);
// for each command frame that arrives the model says which bytes go back, in
// which pieces and after which pauses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sensornet {

struct Node {
    char id = '0';                  // node character '0'-'9', 'A'-'F'
    std::string types[16];          // terminal type per channel ("10", "20", "00")
    std::vector<std::string> values;  // seven 8-character fields; empty: generated
    std::string mark;               // value mark for every leaf; empty: the leaf's type
    bool silent = false;            // answers nothing
    bool nogp = false;              // no answer to the "GP" check
    bool noscan = false;            // no answer to the leaf scan
    bool novalue = false;           // no answer to value requests
    int bcc = 0;                    // 0 right, 1 wrong value, 2 lower-case characters
    int noise = 0;                  // noise bytes before the STX
    bool stx2 = false;              // a broken start (STX and two bytes) before the frame
    bool twice = false;             // the answer twice in one write
    bool nocr = false;              // no CR: the frame never completes
    int delay_ms = 0;               // pause before answering
    int split_ms = -1;              // >= 0: the answer in two writes this far apart
    int pad = 0;                    // extra bytes in the leaf-scan answer
    int huge = 0;                   // > 0: value answer of this many data bytes, no ETX
};

// Parses "ID[:opt,opt...]"; false with a message in err on a bad node description.
bool parse_node(const std::string& desc, Node& node, std::string& err);

// One command frame as received: its body (between STX and ETX) and whether its
// check characters were right.
struct Frame {
    std::string body;
    bool bcc_ok = false;
};

// Collects command frames from the bytes of the line (STX ... ETX c c CR).
class FrameReader {
public:
    // Takes bytes; complete frames are appended to out.
    void feed(const uint8_t* bytes, size_t n, std::vector<Frame>& out);

private:
    std::string cur_;
    bool in_ = false;
};

// The frame STX body ETX check CR; lower: check characters in lower case; bad:
// the check value plus one.
std::string make_frame(const std::string& body, bool lower = false, bool bad = false);

// The value field f (0-6) a node gives for leaf (without a values= option).
std::string default_value(char node, int leaf, int field);

// The answer bodies (between STX and ETX).
std::string scan_body(const Node& n);
std::string value_body(const Node& n, int leaf);
std::string check_body(const Node& n);

// What to write for one received frame: pieces written with pause_ms before each.
struct Piece {
    int pause_ms;
    std::string bytes;
};
std::vector<Piece> respond(const std::vector<Node>& nodes, const Frame& f, bool time_answer);

}  // namespace sensornet
