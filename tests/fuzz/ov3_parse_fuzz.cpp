// Request-string parser on arbitrary bytes: split, look up, print.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "ov3.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    ov3_parse(text.data());
    for (const char* key : {"cmd", "node", "leaf", "toq", "timeout", "if", ""}) {
        const char* v = ov3_value(key);
        if (v) (void)strlen(v);
    }
    static FILE* null = fopen("/dev/null", "w");
    ov3_printAll(null);
    return 0;
}
