# Sensor-network pair inside the appliance rig: the commander against a
# transceiver stand-in on the real queues, and the whole pair (commander,
# serlink, the sensor-network simulator on a pty).
if(ORV_HOST_TESTS)
  set(d ${CMAKE_CURRENT_LIST_DIR})
  add_library(zr1itsupport STATIC ${d}/zr1_support.cpp)
  target_link_libraries(zr1itsupport PUBLIC rigsupport zr1core)
  target_include_directories(zr1itsupport PUBLIC ${d})
  target_compile_definitions(zr1itsupport PRIVATE ZR1_SOURCE_DIR="${CMAKE_SOURCE_DIR}/drivers/vexa/zr")
  orv_add_rig_test(zr1_commander SOURCES ${d}/zr1_commander_test.cpp LIBS zr1itsupport
                   DEPENDS ZR1Communicator TIMEOUT 240)
  orv_add_rig_test(zr1_pair SOURCES ${d}/zr1_pair_test.cpp LIBS zr1itsupport
                   DEPENDS ZR1Communicator serlink TIMEOUT 300)
  # The whole driver with the simulated nodes.
  orv_add_rig_test(zr1_fullstack SOURCES ${d}/zr1_fullstack_test.cpp LIBS zr1itsupport
                   DEPENDS ZR1Communicator serlink sensornet orvserialshim TIMEOUT 300)
endif()
