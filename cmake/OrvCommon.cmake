# Build-wide settings shared by every target.
#   ORV_POSIX  - the target is Linux (host or appliance): daemons, simulators, rig
#   ORV_WIN32  - the target is Windows (mingw-w64): the win32 preset (32-bit, the
#                shipped programs) and the win64 preset (64-bit, runs everywhere)
#   ORV_WIN64  - of those, the 64-bit one
#   ORV_APPLIANCE - cross build for the ARM appliance
#   ORV_HOST_TESTS - rig, integration tests and benchmarks (native and asan presets)
if(WIN32)
  set(ORV_WIN32 ON)
  set(ORV_POSIX OFF)
  add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)
  # No link time stamp in the programs' headers (ld writes the time of the link
  # there, and the image's checksum follows it): the same sources and toolchain
  # give the same bytes, which package_test checks by building them twice.
  add_link_options(-Wl,--no-insert-timestamp)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(ORV_WIN64 ON)
  else()
    set(ORV_WIN64 OFF)
  endif()
else()
  set(ORV_WIN32 OFF)
  set(ORV_WIN64 OFF)
  set(ORV_POSIX ON)
  add_compile_definitions(_GNU_SOURCE)
endif()

# Host tests: the appliance rig, the integration tests against real peers and the
# benchmarks run on the build host itself, in the native and asan presets.
if(ORV_POSIX AND NOT CMAKE_CROSSCOMPILING AND NOT ORV_FUZZ)
  set(ORV_HOST_TESTS ON)
else()
  set(ORV_HOST_TESTS OFF)
endif()

# A program a test stage needs from the host: its absence stops the configure step
# with what to install, so no test is left out without a word.
function(orv_require_program var name package)
  find_program(${var} ${name})
  if(NOT ${var})
    message(FATAL_ERROR "${name} is missing (Debian package ${package}; scripts/install-deps installs it): "
                        "the tests that check against it cannot run")
  endif()
endfunction()

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(ORV_APPLIANCE ON)
else()
  set(ORV_APPLIANCE OFF)
endif()

add_compile_options(-Wall -Wextra -Wno-unused-parameter)

# Sanitizer build (the asan preset).
if(ORV_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Fuzzing build: libFuzzer instrumentation on every object, so the libraries the
# targets link are covered too.
if(ORV_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "ORV_FUZZ needs clang")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
