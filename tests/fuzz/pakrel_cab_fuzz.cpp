// Fuzz target: the whole walk with the extraction policy over an in-memory file
// system, on any bytes as the package (signature search included).
#include <atomic>
#include <cstdint>
#include <vector>

#include "cabformat.h"
#include "extract.h"
#include "memfs.h"

using namespace pakrel;

namespace {
struct NoUi : ExtractUi {
    void invalidName(const std::string&) override {}
    void folderFailed(const std::string&) override {}
    OverwriteAnswer askOverwrite(const std::string&, const FileStat&, uint16_t, uint16_t, uint32_t) override {
        return OverwriteAnswer::Yes;
    }
    bool retryOpen(const std::string&) override { return false; }
};
struct Ascii : CodePage {
    bool isLeadByte(uint8_t b) const override { return b >= 0x81 && b <= 0x9F; }
    std::string toUtf8(const std::string& s) const override { return s; }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MemFileSystem fs;
    fs.addFolder("C:\\pkg");
    fs.addFolder("C:\\d");
    fs.put("C:\\pkg\\p.exe", std::vector<uint8_t>(data, data + size));
    int h = fs.open("C:\\pkg\\p.exe", OpenMode::Read);
    int64_t off = findCabinet(fs, h);
    fs.close(h);
    if (off < 0) off = 0;
    // Output is kept small: a bomb is cut off by failing writes, not memory.
    fs.failWritesAfter(8u << 20);
    NoUi ui;
    Ascii cp;
    std::atomic<int> cancel{0};
    ExtractSettings s;
    s.destination = "C:\\d\\";
    s.noQuestions = true;
    DeletionList del;
    extractArchive(fs, "C:\\pkg\\p.exe", off, ui, cp, cancel, s, del);
    if (fs.openHandles() != 0) __builtin_trap();
    return 0;
}
