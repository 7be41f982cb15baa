# Cross toolchain for the shipped Windows programs: 32-bit Windows (PE32), tests
# under the 32-bit wine in a win32 prefix. Settings shared with the 64-bit
# toolchain are in mingw-w64.cmake.
set(ORV_MINGW_CPU i686)
set(ORV_WINEARCH win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
