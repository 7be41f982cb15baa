# gatex1d against meterbus-sim on a pty, with the serial shim, real syslog and
# System V objects, daemonising included. Shared with the reliability tests:
# meterbus-sim as the gatex1d tests run it (gatex1dsupport) and the
# killed-lock-holder scenario of all three daemons (lockholder).
if(ORV_HOST_TESTS)
  set(d ${CMAKE_CURRENT_LIST_DIR})
  add_library(gatex1dsupport STATIC ${d}/gatex1d_support.cpp)
  target_link_libraries(gatex1dsupport PUBLIC rigsupport)
  target_include_directories(gatex1dsupport PUBLIC ${d})
  add_library(lockholder STATIC ${d}/lockholder.cpp)
  target_link_libraries(lockholder PUBLIC rigsupport)
  target_include_directories(lockholder PUBLIC ${d})
  orv_add_rig_test(gatex1d_integration SOURCES ${d}/gatex1d_test.cpp LIBS gatex1dsupport lockholder
                   DEPENDS gatex1d meterbus-sim TIMEOUT 600)
endif()
