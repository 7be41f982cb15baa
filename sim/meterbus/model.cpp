// model: see model.h.
#include "model.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace meterbus {

std::string regText(uint16_t v) {
    char b[8];
    snprintf(b, sizeof b, "%02X%02X", v & 0xff, (v >> 8) & 0xff);
    return b;
}

std::string withCheck(const std::string& body) {
    unsigned x = 0;
    for (unsigned char c : body) x ^= c;
    char b[4];
    snprintf(b, sizeof b, "%02X", x & 0xff);
    return body + b + "\r";
}

namespace {
bool number(const std::string& s, long* v) {
    if (s.empty()) return false;
    char* end;
    // Decimal, or hexadecimal after "0x"; "08" is eight, not a bad octal number.
    bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    *v = strtol(s.c_str(), &end, hex ? 16 : 10);
    return *end == '\0';
}
bool station(const std::string& s, int* st) {
    long v;
    if (!number(s, &v) || v < 0 || v > 99) return false;
    *st = (int)v;
    return true;
}
}  // namespace

bool Bus::apply(const std::string& name, const std::string& value, std::string* err) {
    auto fail = [&](const char* why) {
        *err = name + " " + value + ": " + why;
        return false;
    };
    int st;
    if (name == "meter") {
        // STATION:KIND[:LEAVES]
        std::string parts[3];
        std::istringstream in(value);
        for (auto& p : parts) std::getline(in, p, ':');
        long kind;
        if (!station(parts[0], &st) || !number(parts[1], &kind) || (kind != 1 && kind != 2))
            return fail("want STATION:KIND[:LEAVES] with KIND 1 or 2");
        Meter m;
        m.station = st;
        m.kind = (int)kind;
        std::istringstream ls(parts[2]);
        std::string l;
        while (std::getline(ls, l, ',')) {
            long leaf;
            if (l.empty() || l == "-") continue;
            if (!number(l, &leaf) || leaf < 1 || leaf > 31) return fail("leaves are 1..31");
            m.leaves.insert((int)leaf);
        }
        meters_[st] = m;
        return true;
    }
    if (name == "reg" || name == "reg32" || name == "error-reg") {
        size_t colon = value.find(':');
        if (colon == std::string::npos || !station(value.substr(0, colon), &st)) return fail("want STATION:...");
        auto it = meters_.find(st);
        if (it == meters_.end()) return fail("no such meter");
        std::string rest = value.substr(colon + 1);
        long r = 0, v = 0;
        if (name == "error-reg") {
            size_t c2 = rest.find(':');
            if (c2 == std::string::npos || !number(rest.substr(0, c2), &r) || rest.size() - c2 - 1 != 2)
                return fail("want STATION:REG:CC");
            it->second.regErrors[(int)r] = rest.substr(c2 + 1);
            return true;
        }
        size_t eq = rest.find('=');
        if (eq == std::string::npos || !number(rest.substr(0, eq), &r) || !number(rest.substr(eq + 1), &v) || r < 0 ||
            r > 99999)
            return fail("want STATION:REG=VALUE");
        it->second.regs[(int)r] = (uint16_t)(v & 0xffff);
        if (name == "reg32") it->second.regs[(int)r + 1] = (uint16_t)(((unsigned long)v >> 16) & 0xffff);
        return true;
    }
    size_t colon = value.find(':');
    if (!station(value.substr(0, colon), &st)) return fail("want a station 0..99");
    if (name == "remove") {
        meters_.erase(st);
        return true;
    }
    auto it = meters_.find(st);
    if (it == meters_.end()) return fail("no such meter");
    Meter& m = it->second;
    if (name == "error") {
        std::string code = colon == std::string::npos ? "42" : value.substr(colon + 1);
        if (code.size() != 2) return fail("an error code has two characters");
        m.mode = Mode::Error;
        m.errorCode = code;
    } else if (name == "silent") {
        m.mode = Mode::Silent;
    } else if (name == "short") {
        m.mode = Mode::Short;
    } else if (name == "garbage") {
        m.mode = Mode::Garbage;
    } else if (name == "normal") {
        m.mode = Mode::Normal;
    } else {
        return fail("unknown setting");
    }
    return true;
}

uint16_t Bus::reg(const Meter& m, int r) const {
    auto it = m.regs.find(r);
    if (it != m.regs.end()) return it->second;
    // Identification: two 32-bit values, both above 99 on a kind-2 meter.
    if (r == 126) return m.kind == 2 ? 1000 : 1;
    if (r == 128) return m.kind == 2 ? 230 : 1;
    if (r == 127 || r == 129) return 0;
    int block = r / 100, off = r % 100;
    if (block < 1 || block > 31) return 0;
    int leaf;
    if (m.kind == 2) {
        leaf = block;
    } else {
        // Kind 1: the even circuit of a block has the second register of each pair
        // set (22, 38, 42, 49); the shared voltage at 24 belongs to both.
        bool even = off == 22 || off == 23 || off == 38 || off == 39 || off == 42 || off == 43 || off == 49;
        leaf = 2 * block - (even ? 0 : 1);
        if (off == 24 || off == 25) {
            if (!m.leaves.count(2 * block - 1) && !m.leaves.count(2 * block)) return 0xffff;
            return off == 24 ? (uint16_t)(m.station * 100 + off) : 0;
        }
    }
    if (!m.leaves.count(leaf)) return 0xffff;
    // Low words carry station*100+offset, high words 0: plain, recognisable readings.
    if (off == 49 || off == 48) return (uint16_t)(m.station + off);
    return off % 2 == 0 ? (uint16_t)(m.station * 100 + off) : 0;
}

std::optional<std::string> Bus::answer(const std::string& raw) const {
    std::string f = raw;
    if (!f.empty() && f.back() == '\r') f.pop_back();
    // %SS#RDD fffff lllll then the check code ("**" or two hex digits).
    if (f.size() < 3 || f[0] != '%') return std::nullopt;
    int st;
    if (!station(f.substr(1, 2), &st) || f.substr(1, 2).find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    auto it = meters_.find(st);
    if (it == meters_.end()) return std::nullopt;
    const Meter& m = it->second;
    char head[8];
    snprintf(head, sizeof head, "%%%02d", st);
    switch (m.mode) {
    case Mode::Silent: return std::nullopt;
    case Mode::Error: return withCheck(std::string(head) + "!" + m.errorCode);
    case Mode::Garbage: return std::string(head) + "?XYZ\r";
    default: break;
    }
    if (f.size() != 19 || f.compare(3, 4, "#RDD") != 0 ||
        f.substr(7, 10).find_first_not_of("0123456789") != std::string::npos)
        return withCheck(std::string(head) + "!41");  // format error
    int first = atoi(f.substr(7, 5).c_str()), last = atoi(f.substr(12, 5).c_str());
    if (last < first || last - first >= 27) return withCheck(std::string(head) + "!61");  // range
    for (const auto& [r, code] : m.regErrors)
        if (r >= first && r <= last) return withCheck(std::string(head) + "!" + code);
    std::string body = std::string(head) + "$RD";
    for (int r = first; r <= last; r++) body += regText(reg(m, r));
    if (m.mode == Mode::Short) return body.substr(0, 8) + "\r";  // two register characters
    return withCheck(body);
}

}  // namespace meterbus
