# gatex2d against the nodegw simulator (libmodbus) in the appliance rig, with the
# simulator cross-checked by mbpoll.
if(ORV_HOST_TESTS)
  orv_require_program(ORV_MBPOLL mbpoll mbpoll)
  orv_add_rig_test(gatex2d_integration SOURCES ${CMAKE_CURRENT_LIST_DIR}/gatex2d_test.cpp
                   DEPENDS gatex2d nodegw DEFINES ORV_MBPOLL="${ORV_MBPOLL}" TIMEOUT 300)
endif()
