# Test helpers. GoogleTest is built per toolchain from Debian's sources
# (/usr/src/googletest); tests run through CTest, and under qemu-arm or wine when
# the toolchain sets CMAKE_CROSSCOMPILING_EMULATOR.
#
#   orv_add_gtest(name SOURCES a.cpp b.cpp LIBS lib1 lib2 [LABELS l1 l2]
#                 [DEPENDS program...] [DEFINES NAME=value...])
#       one test program, run as one CTest test labelled "unit" plus LABELS; DEPENDS
#       are programs it runs (built first), DEFINES its compile definitions.
#   orv_add_rig_test(name SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s] [DEPENDS ...] [DEFINES ...])
#       the same, run inside the appliance rig (see below).
#   orv_add_fuzz(name SOURCES f.cpp LIBS ... [CORPUS dir] [SECONDS n])
#       a libFuzzer target; in the fuzz preset it runs for SECONDS (default 20).

if(NOT ORV_TESTS)
  foreach(f orv_add_gtest orv_add_rig_test orv_add_fuzz orv_wine_test)
    cmake_language(EVAL CODE "function(${f})\nendfunction()")
  endforeach()
  return()
endif()

set(ORV_GTEST_SRC /usr/src/googletest CACHE PATH "GoogleTest sources")
if(NOT EXISTS ${ORV_GTEST_SRC}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources missing at ${ORV_GTEST_SRC} (Debian package googletest; "
                      "scripts/install-deps installs it)")
endif()
if(NOT TARGET gtest)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  if(WIN32)
    set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  endif()
  add_subdirectory(${ORV_GTEST_SRC} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # GoogleTest is not our code: keep its warnings out of ours.
  foreach(t gtest gtest_main gmock gmock_main)
    target_compile_options(${t} PRIVATE -w)
  endforeach()
endif()

set(ORV_TEST_TIMEOUT 300 CACHE STRING "Default CTest timeout in seconds")

# Windows programs run under wine, one prefix per build tree: the win32 preset's in a
# win32 prefix (the 32-bit wine, which needs a kernel that runs 32-bit x86 programs and
# wine32's i386 libraries), the win64 preset's in a win64 prefix (the 64-bit wine,
# which every x86_64 machine runs).
#
# Whether this machine runs 32-bit Windows programs is found by starting one: the
# configure step of the win32 preset builds the small probe (cmake/wine-probe.c) and
# starts it under wine (cmake/wine-check, bounded in time). Where it cannot start, the
# win32 tests are built but reported as not run (Disabled), never as passed or
# failed, and the reason, one line, is kept in wine-not-run.txt of the build tree
# (scripts/run-tests shows it). Looking for a 32-bit loader is not enough: a loader
# may be there while the 32-bit wine is not, or the kernel refuses it.
#
# Every wine test of a tree depends on the test "wine_start" (a CTest fixture), which
# starts the probe, also with a window on a virtual display: a wine that cannot start
# (missing, broken prefix, no display) fails there at once, with what is missing, and
# the tests that need it are not started instead of each waiting for its time-out.
set(ORV_WINE_UNUSABLE OFF)
set(ORV_WINE_NOT_RUN_FILE ${CMAKE_BINARY_DIR}/wine-not-run.txt)
if(ORV_WIN32 AND CMAKE_CROSSCOMPILING AND NOT ORV_FUZZ)
  if(NOT ORV_WINEARCH)
    message(FATAL_ERROR "ORV_WINEARCH is not set: use the win32 or win64 preset (their toolchain files set it)")
  endif()
  file(REMOVE ${ORV_WINE_NOT_RUN_FILE})
  if(ORV_WINEARCH STREQUAL "win32")
    set(probe_dir ${CMAKE_BINARY_DIR}/wine-probe)
    file(MAKE_DIRECTORY ${probe_dir})
    execute_process(COMMAND ${CMAKE_C_COMPILER} -O2 -static -o ${probe_dir}/wine-probe.exe
                            ${CMAKE_SOURCE_DIR}/cmake/wine-probe.c
                    RESULT_VARIABLE probe_cc ERROR_VARIABLE probe_cc_err OUTPUT_QUIET)
    if(NOT probe_cc EQUAL 0)
      message(FATAL_ERROR "cannot build the wine probe with ${CMAKE_C_COMPILER}: ${probe_cc_err}")
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E env ORV_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix
                            ${CMAKE_SOURCE_DIR}/cmake/wine-check win32 ${probe_dir}/wine-probe.exe
                    RESULT_VARIABLE probe_rc OUTPUT_VARIABLE probe_out ERROR_QUIET
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT probe_rc EQUAL 0)
      set(ORV_WINE_UNUSABLE ON)
      string(REGEX REPLACE "^wine-check: " "" probe_out "${probe_out}")
      file(WRITE ${ORV_WINE_NOT_RUN_FILE} "${probe_out}\n")
      message(WARNING "win32 tests built but not run: ${probe_out}")
    endif()
  endif()
endif()

#   orv_wine_test(name...): marks tests that run Windows programs: they need the
#   wine_start fixture, and where wine cannot start 32-bit programs (win32 preset on
#   a machine without them) they are disabled (CTest lists them as not run).
function(orv_wine_test)
  if(ORV_WINE_UNUSABLE)
    set_tests_properties(${ARGN} PROPERTIES DISABLED TRUE)
  else()
    set_tests_properties(${ARGN} PROPERTIES FIXTURES_REQUIRED wine)
  endif()
endfunction()

if(ORV_WIN32 AND CMAKE_CROSSCOMPILING AND NOT ORV_FUZZ)
  add_executable(wine_probe ${CMAKE_SOURCE_DIR}/cmake/wine-probe.c)
  add_test(NAME wine_start
           COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-check ${ORV_WINEARCH} $<TARGET_FILE:wine_probe> --display)
  set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine LABELS "unit;wine" TIMEOUT 600)
  if(ORV_WINE_UNUSABLE)
    set_tests_properties(wine_start PROPERTIES DISABLED TRUE)
  endif()
endif()

# DEPENDS and DEFINES of orv_add_gtest and orv_add_rig_test.
function(_orv_test_extras name)
  cmake_parse_arguments(X "" "" "DEPENDS;DEFINES" ${ARGN})
  if(X_DEPENDS)
    add_dependencies(${name} ${X_DEPENDS})
  endif()
  if(X_DEFINES)
    target_compile_definitions(${name} PRIVATE ${X_DEFINES})
  endif()
endfunction()

# The fuzz preset builds the fuzz targets only: no unit test is declared there.
function(orv_add_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;DEPENDS;DEFINES" ${ARGN})
  if(ORV_FUZZ)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} gmock gtest_main)
  _orv_test_extras(${name} DEPENDS ${T_DEPENDS} DEFINES ${T_DEFINES})
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT ${ORV_TEST_TIMEOUT})
  endif()
  set(labels unit ${T_LABELS})
  if(CMAKE_CROSSCOMPILING AND ORV_WIN32)
    list(APPEND labels wine)
  elseif(CMAKE_CROSSCOMPILING AND ORV_APPLIANCE)
    list(APPEND labels qemu)
  endif()
  list(REMOVE_DUPLICATES labels)
  set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT ${T_TIMEOUT})
  if(CMAKE_CROSSCOMPILING AND ORV_WIN32)
    orv_wine_test(${name})
  endif()
endfunction()

set(ORV_FUZZ_SECONDS 20 CACHE STRING "Seconds each fuzz target runs in make test")

function(orv_add_fuzz name)
  cmake_parse_arguments(F "" "CORPUS;SECONDS" "SOURCES;LIBS" ${ARGN})
  if(NOT ORV_FUZZ)
    return()
  endif()
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  if(NOT F_SECONDS)
    set(F_SECONDS ${ORV_FUZZ_SECONDS})
  endif()
  # Seeds live in the source tree; new inputs found by a run go to a scratch
  # folder in the build tree so the sources stay clean.
  set(work ${CMAKE_BINARY_DIR}/fuzz-corpus/${name})
  set(args -max_total_time=${F_SECONDS} -timeout=10 -rss_limit_mb=2048 -print_final_stats=1)
  add_test(NAME ${name}
           COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
                   ${CMAKE_SOURCE_DIR}/tests/fuzz/run-fuzzer $<TARGET_FILE:${name}> ${work}
                   ${CMAKE_CURRENT_SOURCE_DIR}/${F_CORPUS} ${CMAKE_BINARY_DIR}/fuzz-artifacts ${args})
  math(EXPR to "${F_SECONDS} + 120")
  set_tests_properties(${name} PROPERTIES LABELS "fuzz" TIMEOUT ${to})
endfunction()

#   orv_add_rig_test(name SOURCES a.cpp LIBS ... [LABELS ...] [TIMEOUT s])
#       a gtest program linked with rigsupport (tests/rig/support/rig.h) that runs
#       inside the appliance rig (tests/rig/rig -- program): labelled "integration",
#       skipped (exit 77) where the rig cannot run (not root). Host presets only
#       (ORV_HOST_TESTS): declaring one elsewhere is an error, not a silent no-op.
function(orv_add_rig_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;DEPENDS;DEFINES" ${ARGN})
  if(NOT ORV_HOST_TESTS)
    message(FATAL_ERROR "rig test ${name} declared outside the host presets")
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} rigsupport gmock gtest_main)
  _orv_test_extras(${name} DEPENDS ${T_DEPENDS} DEFINES ${T_DEFINES})
  add_test(NAME ${name} COMMAND ${CMAKE_SOURCE_DIR}/tests/rig/rig -- $<TARGET_FILE:${name}>)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT ${ORV_TEST_TIMEOUT})
  endif()
  set(labels integration ${T_LABELS})
  list(REMOVE_DUPLICATES labels)
  set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT ${T_TIMEOUT}
                       SKIP_RETURN_CODE 77)
endfunction()
