# The update package's pieces (packaging/): the init script against start
# configurations (host presets), and the package as make package builds it (win32
# preset, which has pakrelW.exe and orvane3uploader.exe; the ARM programs and the
# host pakrel come from the arm and native trees, skipped (77) when absent).
if(ORV_FUZZ)
  return()
endif()
if(ORV_POSIX AND NOT CMAKE_CROSSCOMPILING AND NOT ORV_SANITIZE)
  add_test(NAME orvdrivers_test COMMAND ${CMAKE_SOURCE_DIR}/packaging/tests/orvdrivers_test.sh)
  set_tests_properties(orvdrivers_test PROPERTIES LABELS unit TIMEOUT 600)
endif()
if(ORV_WIN32)
  set(ORV_ARM_BIN ${CMAKE_SOURCE_DIR}/build/arm/bin CACHE PATH "The appliance programs for the update test")
  set(ORV_HOST_BIN ${CMAKE_SOURCE_DIR}/build/native/bin CACHE PATH "Host programs for the update test")
  add_test(NAME package_test
    COMMAND ${CMAKE_SOURCE_DIR}/packaging/tests/package_test.sh ${CMAKE_SOURCE_DIR}
            ${ORV_ARM_BIN} ${CMAKE_BINARY_DIR}/bin ${ORV_HOST_BIN}/pakrel ${CMAKE_BINARY_DIR}/package-test
            ${CMAKE_TOOLCHAIN_FILE} ${CMAKE_BUILD_TYPE})
  # It builds the Windows programs a second time (reproducibility).
  set_tests_properties(package_test PROPERTIES LABELS "integration;slow" SKIP_RETURN_CODE 77 TIMEOUT 900)
endif()
