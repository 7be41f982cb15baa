// Fuzz target: the command line, the package block and the destination rules.
#include <cstdint>
#include <cstring>
#include <string>

#include "block.h"
#include "cmdline.h"
#include "pe.h"

using namespace pakrel;

namespace {
struct Folders : MacroFolders {
    std::string folder(Macro) override { return "C:\\Temp\\"; }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    PackageBlock s = initialSettings();
    CommandLine cl = parseCommandLine(text, s, [](const std::string& p) { return p.size() % 2 == 0; });
    Folders f;
    std::string dest = finalDestination("C:\\pkgs\\", fieldText(s.destination), nullptr);
    (void)dest;
    (void)cl;
    if (size >= kBlockSize) {
        PackageBlock b;
        decodeBlock(data, b);
        uint8_t back[kBlockSize];
        encodeBlock(b, back);
        if (std::memcmp(back, data, kBlockSize) != 0) __builtin_trap();
        applyBlock(s, b, f, "p.exe");
        finalDestination("C:\\a\\", fieldText(s.destination), nullptr);
    }
    peBlockOffset(data, size);
    return 0;
}
