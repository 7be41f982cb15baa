// binary: see binary.h.
#include "binary.h"

#include <cstdint>
#include <cstring>

int binary_getInt16(const unsigned char* bytes) {
    return (int16_t)(uint16_t)(bytes[0] << 8 | bytes[1]);
}

float binary_getFloat32(const unsigned char* bytes) {
    uint32_t bits = (uint32_t)bytes[0] << 24 | (uint32_t)bytes[1] << 16 | (uint32_t)bytes[2] << 8 | bytes[3];
    float f;
    memcpy(&f, &bits, sizeof f);  // the ARM appliance and the hosts are both IEEE-754
    return f;
}
