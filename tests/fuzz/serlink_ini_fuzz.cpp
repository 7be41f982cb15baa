// serlink's configuration reader on arbitrary file contents: the device path stays
// within its 13-byte buffer and the speed code within 1-4.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serlink_ini.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static FILE* sink = fopen("/dev/null", "w");
    ini_defaults();
    FILE* in = fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (!in) return 0;
    ini_reader_file(in, sink);
    fclose(in);
    if (memchr(device, '\0', sizeof device) == nullptr || baud < 1 || baud > 4) abort();
    return 0;
}
