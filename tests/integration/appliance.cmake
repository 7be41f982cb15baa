# The appliance build (arm preset) run for real: each ARM daemon under qemu-arm in
# the rig, against the host simulators, over TCP (appliance/tests/arm_smoke.sh).
#
# The serial daemons meet their simulators on ptys, and a static ARM program cannot
# take the rig's LD_PRELOAD shim. So the smoke test runs test twins of gatex1d and
# serlink, built here from the same sources and libraries, linked with --wrap for
# the serial calls into the shim's objects (appliance/tests/serialshim_static.c). They go
# to bin/shimmed/ under the programs' own names; bin/gatex1d and bin/serlink, which
# are what the packages carry, stay unwrapped. gatex2d and ZR1Communicator have no
# serial line and run as built.
#
# The simulators are host programs: the test takes them from the native build
# (ORV_HOST_BIN, default build/native/bin) and skips (77) with a message naming what
# is missing when they are not built; make test builds native before arm.
# The update path end to end (appliance/tests/update_e2e.sh): in the win32 and win64
# presets, the last stages of make test to need its pieces; it takes the ARM build, the native
# build's simulators, daemons and pakrel, and this tree's orvane3uploader.exe and
# pakrelW.exe, and skips (77) naming what is missing.
if(ORV_WIN32 AND NOT ORV_FUZZ)
  # What the uploader's console shows, for appliance/tests/update_test.sh, which runs
  # the package on the virtual Orvane and types into that console.
  add_executable(conpeek ${CMAKE_SOURCE_DIR}/appliance/tests/conpeek.cpp)
  target_link_options(conpeek PRIVATE -municode)
  set(ORV_ARM_BIN ${CMAKE_SOURCE_DIR}/build/arm/bin CACHE PATH "The appliance programs for the update test")
  set(ORV_HOST_BIN ${CMAKE_SOURCE_DIR}/build/native/bin CACHE PATH "Host programs for the update test")
  set(ORV_HOST_LIB ${CMAKE_SOURCE_DIR}/build/native/lib CACHE PATH "Host libraries (the serial shim)")
  add_test(NAME update_e2e
    COMMAND ${CMAKE_SOURCE_DIR}/appliance/tests/update_e2e.sh ${CMAKE_SOURCE_DIR}
            ${ORV_ARM_BIN} ${CMAKE_BINARY_DIR}/bin ${ORV_HOST_BIN} ${ORV_HOST_LIB}
            ${CMAKE_CROSSCOMPILING_EMULATOR})
  set_tests_properties(update_e2e PROPERTIES LABELS "integration;wine;slow"
                       SKIP_RETURN_CODE 77 TIMEOUT 900)
  orv_wine_test(update_e2e)
  return()
endif()

if(NOT (ORV_APPLIANCE AND CMAKE_CROSSCOMPILING AND NOT ORV_FUZZ))
  return()
endif()

add_library(orvserialshim_static OBJECT ${CMAKE_SOURCE_DIR}/appliance/tests/serialshim_static.c)
target_include_directories(orvserialshim_static PRIVATE ${CMAKE_SOURCE_DIR}/tests/rig)
target_compile_options(orvserialshim_static PRIVATE -Wno-unused-parameter)

set(ORV_SHIM_WRAPS ioctl tcgetattr tcsetattr tcflush close)

# A twin of program NAME: the same sources and libraries, the serial calls wrapped.
function(orv_shimmed_twin name)
  get_target_property(srcs ${name} SOURCES)
  get_target_property(dir ${name} SOURCE_DIR)
  get_target_property(libs ${name} LINK_LIBRARIES)
  set(abs)
  foreach(s ${srcs})
    if(IS_ABSOLUTE ${s})
      list(APPEND abs ${s})
    else()
      list(APPEND abs ${dir}/${s})
    endif()
  endforeach()
  set(twin ${name}_shimmed)
  add_executable(${twin} ${abs} $<TARGET_OBJECTS:orvserialshim_static>)
  target_link_libraries(${twin} PRIVATE ${libs})
  foreach(w ${ORV_SHIM_WRAPS})
    target_link_options(${twin} PRIVATE -Wl,--wrap=${w})
  endforeach()
  set_target_properties(${twin} PROPERTIES
    OUTPUT_NAME ${name}
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/shimmed)
endfunction()

orv_shimmed_twin(gatex1d)
orv_shimmed_twin(serlink)

set(ORV_HOST_BIN ${CMAKE_SOURCE_DIR}/build/native/bin CACHE PATH
    "Host programs (simulators) the appliance smoke test runs beside the ARM daemons")

add_test(NAME arm_smoke
  COMMAND ${CMAKE_SOURCE_DIR}/tests/rig/rig --
          ${CMAKE_SOURCE_DIR}/appliance/tests/arm_smoke.sh
          ${CMAKE_CROSSCOMPILING_EMULATOR} ${CMAKE_BINARY_DIR}/bin ${ORV_HOST_BIN}
          ${CMAKE_SOURCE_DIR}/drivers/vexa/zr/ZR1Communicator.ini)
set_tests_properties(arm_smoke PROPERTIES LABELS "integration;qemu" SKIP_RETURN_CODE 77 TIMEOUT 300)
