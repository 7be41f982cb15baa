# gatex1d against meterbus-sim on a pty, with the serial shim, real syslog and
# System V objects, daemonising included. gatexitsupport: meterbus-sim as the
# gatex1d tests run it and the killed-lock-holder scenario (reliability too).
if(ORV_HOST_TESTS)
  set(d ${CMAKE_CURRENT_LIST_DIR})
  add_library(gatexitsupport STATIC ${d}/meterbus_support.cpp ${d}/lockholder.cpp)
  target_link_libraries(gatexitsupport PUBLIC rigsupport)
  target_include_directories(gatexitsupport PUBLIC ${d})
  orv_add_rig_test(gatex1d_integration SOURCES ${d}/gatex1d_test.cpp LIBS gatexitsupport
                   DEPENDS gatex1d meterbus-sim TIMEOUT 600)
endif()
