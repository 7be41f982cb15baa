// block: package block coding, settings, macros and destination rules.
#include "block.h"

#include <cstring>

#include "names.h"

namespace pakrel {
namespace {

void getText(const uint8_t* p, char16_t* f, size_t width) {
    for (size_t i = 0; i < width; ++i) f[i] = char16_t(p[2 * i] | p[2 * i + 1] << 8);
}
void putText(uint8_t* p, const char16_t* f, size_t width) {
    for (size_t i = 0; i < width; ++i) {
        p[2 * i] = uint8_t(f[i]);
        p[2 * i + 1] = uint8_t(f[i] >> 8);
    }
}
uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> 8 * i);
}

bool startsWith(const std::string& s, const char* pre) { return s.rfind(pre, 0) == 0; }

}  // namespace

void decodeBlock(const uint8_t* p, PackageBlock& b) {
    std::memcpy(b.magic, p, 8);
    getText(p + offsetof(PackageBlock, destination), b.destination, 260);
    getText(p + offsetof(PackageBlock, program), b.program, 128);
    b.noQuestions = get32(p + offsetof(PackageBlock, noQuestions));
    b.openFolder = get32(p + offsetof(PackageBlock, openFolder));
    b.wait = get32(p + offsetof(PackageBlock, wait));
    b.hideDialog = get32(p + offsetof(PackageBlock, hideDialog));
    b.crc = get32(p + offsetof(PackageBlock, crc));
    getText(p + offsetof(PackageBlock, title), b.title, 32);
    getText(p + offsetof(PackageBlock, question), b.question, 64);
}

void encodeBlock(const PackageBlock& b, uint8_t* p) {
    std::memcpy(p, b.magic, 8);
    putText(p + offsetof(PackageBlock, destination), b.destination, 260);
    putText(p + offsetof(PackageBlock, program), b.program, 128);
    put32(p + offsetof(PackageBlock, noQuestions), b.noQuestions);
    put32(p + offsetof(PackageBlock, openFolder), b.openFolder);
    put32(p + offsetof(PackageBlock, wait), b.wait);
    put32(p + offsetof(PackageBlock, hideDialog), b.hideDialog);
    put32(p + offsetof(PackageBlock, crc), b.crc);
    putText(p + offsetof(PackageBlock, title), b.title, 32);
    putText(p + offsetof(PackageBlock, question), b.question, 64);
}

bool readPackageBlock(FileOps& files, int h, int64_t offset, PackageBlock& b) {
    uint8_t raw[kBlockSize];
    if (offset < 0 || files.seek(h, offset, SeekFrom::Set) != offset) return false;
    // A read may return less than asked before the end: collect the whole block.
    size_t got = 0;
    while (got < sizeof raw) {
        long n = files.read(h, raw + got, sizeof raw - got);
        if (n <= 0) return false;
        got += size_t(n);
    }
    PackageBlock read;
    decodeBlock(raw, read);
    if (!blockMagicOk(read)) return false;
    b = read;
    return true;
}

PackageBlock emptyBlock() {
    PackageBlock b;
    std::memset(&b, 0, sizeof b);
    std::memcpy(b.magic, "PAKREL3U", 8);
    return b;
}

PackageBlock makeBlock(const BlockValues& v) {
    PackageBlock b = emptyBlock();
    b.magic[6] = v.platform;
    setField(b.destination, v.destination);
    setField(b.program, v.program);
    setField(b.title, v.title);
    setField(b.question, v.question);
    b.noQuestions = v.noQuestions;
    b.openFolder = v.openFolder;
    b.wait = v.wait;
    b.hideDialog = v.hideDialog;
    return b;
}

bool blockMagicOk(const PackageBlock& b) {
    return std::memcmp(b.magic, "PAKREL", 6) == 0 && b.magic[7] == 'U';
}

std::string fieldText(const char16_t* f, size_t width) {
    size_t n = 0;
    while (n < width && f[n] != 0) ++n;
    return utf16ToUtf8(std::u16string(f, n));
}

void setField(char16_t* f, size_t width, const std::string& s) {
    std::u16string u = utf8ToUtf16(s);
    if (u.size() > width - 1) {
        u.resize(width - 1);
        // Never leave half a surrogate pair at the cut.
        if (!u.empty() && u.back() >= 0xD800 && u.back() <= 0xDBFF) u.pop_back();
    }
    std::memset(f, 0, width * sizeof(char16_t));
    std::memcpy(f, u.data(), u.size() * sizeof(char16_t));
}

PackageBlock initialSettings() {
    PackageBlock s;
    std::memset(&s, 0, sizeof s);
    s.openFolder = 1;
    return s;
}

std::string expandDestination(const std::string& dest, MacroFolders& folders, bool wait,
                              const std::string& packageFileName, bool* temporary) {
    if (temporary) *temporary = false;
    if (dest.empty() || dest[0] != '%') return dest;
    size_t end = dest.find('%', 1);
    if (end == std::string::npos) return dest;
    std::string name = dest.substr(1, end - 1);
    std::string rest = dest.substr(end + 1);
    static const struct { const char* name; Macro m; } table[] = {
        {"Desktop", Macro::Desktop},       {"MyDocuments", Macro::MyDocuments},
        {"ProgramFiles", Macro::ProgramFiles}, {"SystemDir", Macro::SystemDir},
        {"WinDir", Macro::WinDir},         {"temp", Macro::Temp},
    };
    std::string folder;
    for (const auto& e : table)
        if (name == e.name) folder = folders.folder(e.m);
    if (dest == "%temp%" && wait) {
        if (!folder.empty() && folder.back() != '\\') folder.push_back('\\');
        if (temporary) *temporary = true;
        return folder + "~" + packageFileName;
    }
    if (!folder.empty() && folder.back() == '\\') folder.pop_back();
    return folder + rest;
}

bool applyBlock(PackageBlock& settings, PackageBlock block, MacroFolders& folders,
                const std::string& packageFileName) {
    if (block.program[0] == 0) {
        block.wait = 0;
        block.magic[6] = '3';
    }
    std::memcpy(settings.magic, block.magic, 8);
    bool temporary = false;
    std::string dest = fieldText(block.destination);
    if (!dest.empty())
        setField(settings.destination,
                 expandDestination(dest, folders, block.wait != 0, packageFileName, &temporary));
    std::memcpy(settings.program, block.program, sizeof settings.program);
    settings.program[127] = 0;
    settings.noQuestions = block.noQuestions;
    settings.openFolder = block.openFolder;
    settings.wait = block.wait;
    settings.hideDialog = block.hideDialog;
    settings.crc = block.crc;
    std::memcpy(settings.title, block.title, sizeof settings.title);
    settings.title[31] = 0;
    std::memcpy(settings.question, block.question, sizeof settings.question);
    settings.question[63] = 0;
    return temporary;
}

std::string resolveDestination(const std::string& a, const std::string& d) {
    if (d.empty()) return a;
    if (startsWith(d, ".\\")) return a + d.substr(2);
    if (startsWith(d, "..\\")) {
        std::string base = a;
        std::string rest = d;
        // Folders of A: the parts after its root ("C:\" or "\\server\share\").
        size_t root = 0;
        if (base.size() >= 3 && base[1] == ':' && base[2] == '\\') root = 3;
        else if (startsWith(base, "\\\\")) {
            size_t s = base.find('\\', 2);
            s = s == std::string::npos ? base.size() : base.find('\\', s + 1);
            root = s == std::string::npos ? base.size() : s + 1;
        } else if (startsWith(base, "\\")) root = 1;
        while (startsWith(rest, "..\\")) {
            rest = rest.substr(3);
            if (base.size() <= root) return a;
            size_t cut = base.size() - 1;  // base ends with a backslash
            size_t prev = base.rfind('\\', cut - 1);
            if (prev == std::string::npos || prev + 1 < root) return a;
            base.resize(prev + 1);
        }
        return base + rest;
    }
    if (d[0] == '\\' && (d.size() < 2 || d[1] != '\\')) return a + d.substr(1);
    if (d.find('\\') == std::string::npos && d.back() != ':') return a + d;
    return d;
}

std::string finalDestination(const std::string& archiveFolder, const std::string& dest,
                             bool* fellBack) {
    if (fellBack) *fellBack = false;
    std::string d = dest;
    for (char& c : d)
        if (c == '/') c = '\\';
    if (!d.empty() && d.back() == '\\') d.pop_back();
    std::string r = resolveDestination(archiveFolder, d);
    if (r.find_first_of("*?\"<>|") != std::string::npos) {
        if (fellBack) *fellBack = true;
        r = archiveFolder;
    }
    r = rtrimBlanks(r);
    while (!r.empty() && r.back() == '\\') r.pop_back();
    r.push_back('\\');
    return r;
}

void splitArchivePath(const std::string& path, std::string& folder, std::string& name) {
    size_t cut = path.find_last_of('\\');
    if (cut == std::string::npos) {
        folder.clear();
        name = path;
    } else {
        folder = path.substr(0, cut + 1);
        name = path.substr(cut + 1);
    }
}

std::string archiveBaseName(const std::string& name) {
    size_t dot = name.rfind('.');
    return rtrimBlanks(dot == std::string::npos ? name : name.substr(0, dot));
}

ProgramCommand splitProgram(const std::string& destination, const std::string& program) {
    auto lower = [](std::string t) {
        for (char& c : t)
            if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        return t;
    };
    ProgramCommand pc;
    pc.file = destination + program;
    std::string low = lower(program);
    size_t dot = low.rfind('.');
    if (dot != std::string::npos && low.compare(dot, std::string::npos, ".inf") == 0) {
        pc.inf = true;
    } else {
        for (size_t at = low.find(".exe"); at != std::string::npos; at = low.find(".exe", at + 1)) {
            size_t end = at + 4;
            if (end == low.size() || low[end] == ' ') {
                pc.file = destination + program.substr(0, end);
                if (end < program.size()) pc.parameters = program.substr(end + 1);
                break;
            }
        }
    }
    size_t cut = pc.file.rfind('\\');
    pc.folder = cut == std::string::npos ? std::string() : pc.file.substr(0, cut + 1);
    return pc;
}

}  // namespace pakrel
