// sensornet_model: see sensornet_model.h.
#include "sensornet_model.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace sensornet {

static int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

static std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> v;
    size_t start = 0;
    for (;;) {
        size_t p = s.find(sep, start);
        v.push_back(s.substr(start, p - start));
        if (p == std::string::npos) return v;
        start = p + 1;
    }
}

static bool number(const std::string& s, int& v) {
    if (s.empty()) return false;
    char* end;
    long n = strtol(s.c_str(), &end, 10);
    if (*end || n < 0 || n > 100000) return false;
    v = (int)n;
    return true;
}

bool parse_node(const std::string& desc, Node& node, std::string& err) {
    node = Node();
    for (auto& t : node.types) t = "00";
    if (desc.empty() || hexval(desc[0]) < 0 || (desc.size() > 1 && desc[1] != ':')) {
        err = "node id must be one of 0-9, A-F: " + desc;
        return false;
    }
    node.id = desc[0];
    if (desc.size() <= 2) return true;
    for (const std::string& opt : split(desc.substr(2), ',')) {
        size_t eq = opt.find('=');
        std::string key = opt.substr(0, eq);
        std::string val = eq == std::string::npos ? "" : opt.substr(eq + 1);
        bool ok = true;
        if (key == "types") {
            auto t = split(val, '/');
            if (t.size() > 16) ok = false;
            for (size_t i = 0; ok && i < t.size(); i++) {
                if (t[i].size() != 2) ok = false;
                else node.types[i] = t[i];
            }
        } else if (key == "values") {
            node.values = split(val, '/');
            if (node.values.size() != 7) ok = false;
            for (auto& v : node.values) v.resize(8, ' ');
        } else if (key == "mark") {
            node.mark = val;
            ok = val.size() == 2;
        } else if (key == "silent") node.silent = true;
        else if (key == "nogp") node.nogp = true;
        else if (key == "noscan") node.noscan = true;
        else if (key == "novalue") node.novalue = true;
        else if (key == "bcc") {
            if (val == "bad") node.bcc = 1;
            else if (val == "lower") node.bcc = 2;
            else ok = false;
        } else if (key == "noise") ok = number(val, node.noise);
        else if (key == "stx2") node.stx2 = true;
        else if (key == "twice") node.twice = true;
        else if (key == "nocr") node.nocr = true;
        else if (key == "delay") ok = number(val, node.delay_ms);
        else if (key == "split") ok = number(val, node.split_ms);
        else if (key == "pad") ok = number(val, node.pad);
        else if (key == "huge") ok = number(val, node.huge);
        else ok = false;
        if (!ok) {
            err = "bad node option '" + opt + "' in " + desc;
            return false;
        }
    }
    return true;
}

void FrameReader::feed(const uint8_t* bytes, size_t n, std::vector<Frame>& out) {
    for (size_t i = 0; i < n; i++) {
        char b = (char)bytes[i];
        if (b == '\x02') {
            cur_.clear();
            in_ = true;
            continue;
        }
        if (!in_) continue;
        if (b == '\r') {
            size_t etx = cur_.size() >= 3 ? cur_.size() - 3 : std::string::npos;
            if (etx != std::string::npos && cur_[etx] == '\x03') {
                Frame f;
                f.body = cur_.substr(0, etx);
                std::string want = make_frame(f.body);
                f.bcc_ok = want.compare(want.size() - 3, 2, cur_, etx + 1, 2) == 0;
                out.push_back(f);
            }
            in_ = false;
            continue;
        }
        if (cur_.size() < 4096) cur_ += b;
    }
}

std::string make_frame(const std::string& body, bool lower, bool bad) {
    uint8_t v = 0x03;
    for (char c : body) v ^= (uint8_t)c;
    if (bad) v = (uint8_t)(v + 1);
    char chk[3];
    snprintf(chk, sizeof chk, lower ? "%02x" : "%02X", v);
    return "\x02" + body + "\x03" + chk + "\r";
}

std::string default_value(char node, int leaf, int field) {
    char f[16];
    snprintf(f, sizeof f, "%08d", hexval(node) * 10000 + leaf * 100 + field * 10);
    return f;
}

std::string scan_body(const Node& n) {
    // Frame offsets: 1 node, 2-3 "23", 4-11 header, 12 + 9c channel field c
    // (type, six digits, a comma between fields). 158 bytes with STX..check.
    std::string b(1, n.id);
    b += "23SN0100";
    b += "00";  // offsets 10-11
    for (int c = 0; c < 16; c++) {
        char f[16];
        snprintf(f, sizeof f, "%s%06d%s", n.types[c].c_str(), hexval(n.id) * 100 + c, c < 15 ? "," : "");
        b += f;
    }
    b += std::string((size_t)n.pad, 'P');
    return b;
}

std::string value_body(const Node& n, int leaf) {
    // Frame offsets: 1 node, 2-28 header, 29-30 value mark, 31-110 value data.
    std::string b(1, n.id);
    char head[32];
    snprintf(head, sizeof head, "00@@@A%X", leaf & 0xF);
    b += head;
    b.resize(28, '0');  // body index = frame offset - 1
    std::string mark = n.mark;
    if (mark.empty()) mark = leaf >= 0 && leaf < 16 ? n.types[leaf] : "00";
    b += mark;
    for (int f = 0; f < 7; f++) b += n.values.empty() ? default_value(n.id, leaf, f) : n.values[f];
    b.resize(30 + 80, '0');
    return b;
}

std::string check_body(const Node& n) { return std::string(1, n.id) + "GP20"; }

std::vector<Piece> respond(const std::vector<Node>& nodes, const Frame& f, bool time_answer) {
    std::vector<Piece> out;
    if (!f.bcc_ok || f.body.empty()) return out;
    if (f.body[0] == '*') {
        if (time_answer) out.push_back({0, make_frame("*20")});
        return out;
    }
    const Node* n = nullptr;
    for (auto& c : nodes)
        if (c.id == f.body[0]) n = &c;
    if (!n || n->silent) return out;
    std::string cmd = f.body.substr(1);
    std::string body;
    size_t spare;  // a header byte no reader looks at
    if (cmd == "23") {
        if (n->noscan) return out;
        body = scan_body(*n);
        spare = 4;
    } else if (cmd == "GP") {
        if (n->nogp) return out;
        body = check_body(*n);
        spare = 3;
    } else if (cmd.size() == 7 && cmd.compare(0, 6, "00@@@A") == 0) {
        if (n->novalue) return out;
        body = value_body(*n, hexval(cmd[6]));
        spare = 20;
    } else {
        return out;
    }
    if (n->bcc == 2) {
        // Lower case only shows when the check value has a letter digit: pick a
        // spare header byte that gives it one.
        for (char c = 'A'; c <= 'Z'; c++) {
            body[spare] = c;
            std::string t = make_frame(body);
            if (std::isalpha((unsigned char)t[t.size() - 3]) || std::isalpha((unsigned char)t[t.size() - 2])) break;
        }
    }
    std::string frame = n->huge > 0 && cmd != "23" && cmd != "GP"
                            ? "\x02" + std::string(1, n->id) + std::string((size_t)n->huge, 'H')
                            : make_frame(body, n->bcc == 2, n->bcc == 1);
    if (n->nocr && !frame.empty() && frame.back() == '\r') frame.pop_back();
    std::string pre;
    for (int i = 0; i < n->noise; i++) pre += (char)("\x7f\xff\x01z\r\x03"[i % 6]);
    if (n->stx2) pre += "\x02?!";
    std::string all = pre + frame;
    if (n->twice) all += frame;
    if (n->split_ms >= 0) {
        size_t half = all.size() / 2;
        out.push_back({n->delay_ms, all.substr(0, half)});
        out.push_back({n->split_ms, all.substr(half)});
    } else {
        out.push_back({n->delay_ms, all});
    }
    return out;
}

}  // namespace sensornet
