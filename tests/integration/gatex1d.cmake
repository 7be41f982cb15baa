# gatex1d against meterbus-sim on a pty, with the serial shim, real syslog and
# System V objects, daemonising included.
if(TARGET rigsupport AND TARGET gatex1d)
  set(d ${CMAKE_CURRENT_LIST_DIR})
  orv_add_rig_test(gatex1d_integration SOURCES ${d}/gatex1d_test.cpp TIMEOUT 600)
  add_dependencies(gatex1d_integration gatex1d meterbus-sim)
endif()
