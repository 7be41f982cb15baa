# gatex2d against the nodegw simulator (libmodbus) in the appliance rig, with the
# simulator cross-checked by mbpoll.
if(TARGET rigsupport AND TARGET gatex2d AND TARGET nodegw)
  orv_add_rig_test(gatex2d_integration SOURCES ${CMAKE_CURRENT_LIST_DIR}/gatex2d_test.cpp TIMEOUT 300)
  add_dependencies(gatex2d_integration gatex2d nodegw)
endif()
