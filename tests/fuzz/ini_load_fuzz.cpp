// Configuration reader on arbitrary file contents, in both modes.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "ini.h"
#include "log.h"

static void quiet(int, const char*) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int fd = -1;
    static char path[64];
    if (fd < 0) {
        drv_set_log_sink(quiet);
        fd = memfd_create("ini", 0);
        snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    }
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != (ssize_t)size) return 0;
    for (bool sections : {false, true}) {
        ini_set_sections(sections);
        ini_load(path);
        for (const char* key : {"port", "device", "GENERAL.port", "maxnodes", ""}) {
            const char* v = ini_value(key);
            if (v) (void)strlen(v);
        }
    }
    ini_clear();
    return 0;
}
