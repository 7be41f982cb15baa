# serlink in the appliance rig: the daemon against the sensor-network simulator,
# this test as the commander on real queues.
if(ORV_HOST_TESTS)
  orv_add_rig_test(serlink_integration_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/serlink_integration_test.cpp
    LIBS zrmsg sensornetmodel
    DEPENDS serlink sensornet
    TIMEOUT 240)
endif()
