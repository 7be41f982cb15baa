// drvq_core: see drvq_core.h.
#include "drvq_core.h"

#include <algorithm>
#include <cstdio>

namespace drvq {

int defaultPort(Dialect d) {
    switch (d) {
    case Dialect::Gatex1: return 1111;
    case Dialect::Gatex2: return 1112;
    case Dialect::Zr: return 1131;
    }
    return 0;
}

const char* dialectName(Dialect d) {
    switch (d) {
    case Dialect::Gatex1: return "gatex1d";
    case Dialect::Gatex2: return "gatex2d";
    case Dialect::Zr: return "ZR1Communicator";
    }
    return "?";
}

const char* lineEnd(Dialect d) { return d == Dialect::Zr ? "\r\n" : "\n"; }

static std::string field(const std::string& s, const std::string& key, size_t from, size_t* end) {
    size_t p = s.find(key, from);
    if (p == std::string::npos) {
        *end = std::string::npos;
        return "";
    }
    p += key.size();
    size_t e = s.find('&', p);
    *end = e;
    return s.substr(p, e == std::string::npos ? std::string::npos : e - p);
}

Response parseResponse(const std::string& raw) {
    Response r;
    r.line = raw;
    while (!r.line.empty() && (r.line.back() == '\n' || r.line.back() == '\r')) r.line.pop_back();
    const std::string& s = r.line;
    size_t end;
    if (s.rfind("?status=", 0) == 0) {
        r.status = field(s, "?status=", 0, &end);
        r.valid = true;
        return r;
    }
    if (s.rfind("?cmd=", 0) != 0) return r;
    r.cmd = field(s, "?cmd=", 0, &end);
    size_t st = s.find("&status=");
    if (st == std::string::npos) return r;
    r.status = field(s, "&status=", st, &end);
    r.valid = true;
    size_t v = s.find("&val=", st);
    if (v != std::string::npos) {
        size_t t = s.find("&time=", v);
        r.val = s.substr(v + 5, t == std::string::npos ? std::string::npos : t - v - 5);
        if (t != std::string::npos) r.time = s.substr(t + 6);
    }
    return r;
}

std::string leavesRequest(Dialect d) {
    return d == Dialect::Gatex1 ? "?cmd=get_leaves_ex" : "?cmd=get_leaves";
}

std::string valueRequest(Dialect d, const std::string& node, const std::string& leaf, const std::string& toq) {
    if (d == Dialect::Zr)  // positional: exactly these five tokens in this order
        return "?cmd=get_value&protocol=C0&node=" + node + "&leaf=" + leaf + "&toq=" + toq;
    return "?cmd=get_value&node=" + node + "&leaf=" + leaf + "&toq=" + toq;
}

std::vector<std::string> splitLeaves(const std::string& list) {
    std::vector<std::string> out;
    size_t p = 0;
    while (p <= list.size()) {
        size_t c = list.find(',', p);
        std::string e = list.substr(p, c == std::string::npos ? std::string::npos : c - p);
        while (!e.empty() && (e.back() == '\n' || e.back() == '\r')) e.pop_back();
        if (!e.empty()) out.push_back(e);
        if (c == std::string::npos) break;
        p = c + 1;
    }
    return out;
}

namespace {
// The toqs a gatex1d meter offers per leaf, by kind (w2: kind 1, w3: kind 2).
const char* const kKind1Toqs[] = {"ipc", "v", "c", "ip", "pf"};
const char* const kKind2Toqs[] = {"ipc", "vrn", "vrs", "vrt", "vtr", "vtn", "vst", "cr", "cs", "ct", "ip", "pf"};

void gatex1Readings(const std::string& e, std::vector<Reading>& out) {
    // node_leaf_w2 / node_leaf_w3 (or node_leaf from a plain list: kind unknown, the
    // toqs common to both kinds are asked).
    size_t a = e.find('_');
    if (a == std::string::npos) return;
    size_t b = e.find('_', a + 1);
    std::string node = e.substr(0, a);
    std::string leaf = e.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
    std::string kind = b == std::string::npos ? "" : e.substr(b + 1);
    std::vector<const char*> toqs;
    if (kind == "w2") toqs.assign(std::begin(kKind1Toqs), std::end(kKind1Toqs));
    else if (kind == "w3") toqs.assign(std::begin(kKind2Toqs), std::end(kKind2Toqs));
    else toqs = {"ipc", "ip", "pf"};
    std::string name = node + "_" + leaf;
    for (const char* t : toqs) out.push_back({name, t, valueRequest(Dialect::Gatex1, node, leaf, t)});
}

void gatex2Readings(const std::string& e, std::vector<Reading>& out) {
    // IIIIIIRRRRRRRRDk_n:host:port - the value kind is the toq, host:port the node.
    if (e.size() < 20 || e[18] != ':') return;
    std::string toq = e.substr(14, 4);
    std::string node = e.substr(19);
    out.push_back({e, toq, valueRequest(Dialect::Gatex2, node, e.substr(0, 18), toq)});
}

void zrReadings(const std::string& e, std::vector<Reading>& out) {
    // PPPPPPccNNNNNNCq_k: node value characters 7-14, toq 15-18, leaf character 18.
    if (e.size() != 18) return;
    std::string node = e.substr(6, 8), toq = e.substr(14, 4), leaf = e.substr(17, 1);
    out.push_back({e, toq, valueRequest(Dialect::Zr, node, leaf, toq)});
}
}  // namespace

std::vector<Reading> expandLeaves(Dialect d, const std::string& leafList) {
    std::vector<Reading> out;
    for (const std::string& e : splitLeaves(leafList)) {
        switch (d) {
        case Dialect::Gatex1: gatex1Readings(e, out); break;
        case Dialect::Gatex2: gatex2Readings(e, out); break;
        case Dialect::Zr: zrReadings(e, out); break;
        }
    }
    return out;
}

std::string explainStatus(const std::string& s) {
    static const struct { const char* word; const char* text; } kWords[] = {
        {"OK", ""},
        {"ENOCMD", "the request has no cmd key"},
        {"EINVALCMD", "the daemon does not know this command"},
        {"EINVALNODE", "the node is not valid for this daemon"},
        {"EINVALLEAF", "the leaf is not valid"},
        {"EINVALTOQ", "the type of quantity is missing or not offered by this leaf"},
        {"EINVALIDTOQ", "the type of quantity does not fit the node's terminal"},
        {"EINVALIDKEY", "a parameter is missing, misplaced or out of range"},
        {"ENODEV", "the daemon cannot open its serial device"},
        {"ENONODE", "no device answers at this node"},
        {"ENOLEAF", "the node has no such leaf"},
        {"ENODEERR", "the device answered with an error"},
        {"EINVALNODERES", "no usable answer from the device within the timeout"},
        {"EMAXNODES", "the daemon's node table is full"},
        {"EUNKNOWN", "the scan ended in an unexpected way"},
        {"E_DUMMY_SCAN_NOT_IMPLEMENTED_YET", "port 0 is a test node that cannot be scanned"},
        {"EMSGTIMEOUT", "the transceiver did not answer in time"},
        {"ESELRECV", "the transceiver's receive from the node failed"},
        {"EBCC", "the node's answer had a bad check character"},
        {"ETIMEOUT", "the node did not answer in time"},
        {"EETC", "the node's answer could not be used"},
        {"ESELOPEN", "the transceiver cannot open the serial line"},
        {"ESELSEND", "the transceiver cannot send on the serial line"},
    };
    for (auto& w : kWords)
        if (s == w.word) return w.text;
    return "the daemon reported " + (s.empty() ? std::string("no status") : s);
}

std::string jsonEscape(const std::string& s) {
    std::string o;
    for (unsigned char c : s) {
        switch (c) {
        case '"': o += "\\\""; break;
        case '\\': o += "\\\\"; break;
        case '\n': o += "\\n"; break;
        case '\r': o += "\\r"; break;
        case '\t': o += "\\t"; break;
        default:
            if (c < 0x20 || c >= 0x7f) {
                char b[8];
                snprintf(b, sizeof b, "\\u%04x", c);
                o += b;
            } else {
                o += (char)c;
            }
        }
    }
    return o;
}

std::string responseJson(const Response& r) {
    std::string o = "{\"cmd\":\"" + jsonEscape(r.cmd) + "\",\"status\":\"" + jsonEscape(r.status) + "\"";
    if (!r.val.empty()) o += ",\"val\":\"" + jsonEscape(r.val) + "\"";
    if (!r.time.empty()) o += ",\"time\":\"" + jsonEscape(r.time) + "\"";
    o += ",\"line\":\"" + jsonEscape(r.line) + "\"}";
    return o;
}

std::string renderTable(const std::vector<Row>& rows) {
    const char* heads[] = {"DRIVER", "LEAF", "TOQ", "VALUE", "TIME", "STATUS"};
    size_t w[6];
    for (int i = 0; i < 6; i++) w[i] = std::char_traits<char>::length(heads[i]);
    auto cells = [](const Row& r) { return std::vector<const std::string*>{&r.driver, &r.leaf, &r.toq, &r.value, &r.time, &r.status}; };
    for (const Row& r : rows) {
        auto c = cells(r);
        for (int i = 0; i < 6; i++) w[i] = std::max(w[i], c[i]->size());
    }
    std::string out;
    auto line = [&](const std::vector<std::string>& c) {
        for (int i = 0; i < 6; i++) {
            out += c[i];
            if (i < 5) out += std::string(w[i] - c[i].size() + 2, ' ');
        }
        while (!out.empty() && out.back() == ' ') out.pop_back();
        out += '\n';
    };
    line({heads[0], heads[1], heads[2], heads[3], heads[4], heads[5]});
    for (const Row& r : rows) line({r.driver, r.leaf, r.toq, r.value, r.time, r.status});
    return out;
}

std::string rowsJson(const std::vector<Row>& rows) {
    std::string o = "[";
    for (size_t i = 0; i < rows.size(); i++) {
        const Row& r = rows[i];
        if (i) o += ",";
        o += "{\"driver\":\"" + jsonEscape(r.driver) + "\",\"leaf\":\"" + jsonEscape(r.leaf) + "\",\"toq\":\"" +
             jsonEscape(r.toq) + "\",\"value\":\"" + jsonEscape(r.value) + "\",\"time\":\"" + jsonEscape(r.time) +
             "\",\"status\":\"" + jsonEscape(r.status) + "\"}";
    }
    return o + "]";
}

}  // namespace drvq
