// Small pieces of the Windows program's start-up, kept apart to be testable.
#pragma once

#include <cstdint>

namespace uplder::win32 {

// A port from an environment value: 1..65535 in decimal and nothing else,
// otherwise fallback.
uint16_t portFromText(const char* text, uint16_t fallback);

}  // namespace uplder::win32
