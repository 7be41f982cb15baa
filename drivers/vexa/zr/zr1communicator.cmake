# ZR1Communicator, the commander of the sensor network. Its request side
# (zr1core: dispatch, checks, leaf names, readings, configuration reader, error
# log) is pure and is what the unit tests, the fuzz targets and the benchmark
# link, each with its own fake transceiver; the daemon adds the process shell.
if(ORV_POSIX)
  add_library(zr1core STATIC zr1comm.cpp zr1ini.cpp)
  target_include_directories(zr1core PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(zr1core PUBLIC drvcommon zrmsg)

  # The fake transceiver of the tests (and of fuzzing and the benchmark).
  add_library(zr1fake STATIC zr1_fake.cpp)
  target_link_libraries(zr1fake PUBLIC zr1core)

  add_executable(ZR1Communicator zr1main.cpp zr1shell.cpp)
  target_link_libraries(ZR1Communicator PRIVATE zr1core)

  orv_add_gtest(zr1comm_test SOURCES zr1comm_test.cpp zr1ini_test.cpp LIBS zr1fake)
endif()
