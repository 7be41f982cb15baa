# What the two Windows toolchain files share: mingw-w64 with the posix thread model
# (std::thread and std::mutex work), statically linked so the .exe files need no
# mingw DLLs, tests under wine (cmake/wine-run, which takes the prefix's
# architecture from ORV_WINEARCH). The including file sets ORV_MINGW_CPU (i686 or
# x86_64) and ORV_WINEARCH (win32 or win64) first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${ORV_MINGW_CPU})
set(CMAKE_C_COMPILER ${ORV_MINGW_CPU}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORV_MINGW_CPU}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${ORV_MINGW_CPU}-w64-mingw32-windres)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_FIND_ROOT_PATH /usr/${ORV_MINGW_CPU}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The emulator is one word (tests pass it on to their scripts): a small script per
# architecture that sets ORV_WINEARCH and runs cmake/wine-run.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run-${ORV_WINEARCH})
