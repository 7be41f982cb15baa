# Cross toolchain for 64-bit Windows (PE32+): the same programs and tests as the
# win32 preset, run under the 64-bit wine in a win64 prefix, which works on every
# x86_64 machine, also where the kernel runs no 32-bit programs.
set(ORV_MINGW_CPU x86_64)
set(ORV_WINEARCH win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
