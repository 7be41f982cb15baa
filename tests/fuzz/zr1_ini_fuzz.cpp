// The commander's configuration reader on arbitrary file contents: settings
// stay in their bounds and the interface name in its buffer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "zr1comm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> copy(data, data + size);
    copy.push_back('\0');
    zr1DefaultSettings();
    FILE* fp = fmemopen(copy.data(), size ? size : 1, "r");
    if (!fp) return 0;
    InitFileReadFrom(fp);
    fclose(fp);
    if (MAXNODES < 0 || MAXNODES > SpecMaxNodeID) abort();
    if (strnlen(IFNAME, sizeof IFNAME) >= sizeof IFNAME) abort();
    return 0;
}
