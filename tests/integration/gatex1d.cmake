# gatex1d against meterbus-sim on a pty, with the serial shim, real syslog and
# System V objects, daemonising included. Shared with the reliability tests:
# meterbus-sim as the gatex1d tests run it (meterbussupport) and the
# killed-lock-holder scenario of all three daemons (lockholder).
if(ORV_HOST_TESTS)
  set(d ${CMAKE_CURRENT_LIST_DIR})
  add_library(meterbussupport STATIC ${d}/meterbus_support.cpp)
  target_link_libraries(meterbussupport PUBLIC rigsupport)
  target_include_directories(meterbussupport PUBLIC ${d})
  add_library(lockholder STATIC ${d}/lockholder.cpp)
  target_link_libraries(lockholder PUBLIC rigsupport)
  target_include_directories(lockholder PUBLIC ${d})
  orv_add_rig_test(gatex1d_integration SOURCES ${d}/gatex1d_test.cpp LIBS meterbussupport lockholder
                   DEPENDS gatex1d meterbus-sim TIMEOUT 600)
endif()
