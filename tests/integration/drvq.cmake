# drvq against the real daemons and simulators, in the rig.
if(ORV_POSIX AND NOT CMAKE_CROSSCOMPILING AND NOT ORV_FUZZ AND NOT ORV_SANITIZE)
  add_test(NAME drvq_integration COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/drvq_test.sh)
  set_tests_properties(drvq_integration PROPERTIES LABELS integration SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()
