# orvane3uploader end to end: the program on a pty, against a real FTP server
# (pyftpdlib) and busybox telnetd, inside a network namespace of the test's own.
# The peers are required: a missing one stops the configure step with its name.
if(ORV_HOST_TESTS OR (ORV_WIN32 AND CMAKE_CROSSCOMPILING))
  find_program(ORV_UPLOADER_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
  if(NOT ORV_UPLOADER_PYTHON)
    message(FATAL_ERROR "/usr/bin/python3 is missing: the uploader tests' FTP server runs on it")
  endif()
  orv_require_program(ORV_BUSYBOX busybox busybox-static)
endif()
if(ORV_HOST_TESTS)
  orv_add_gtest(uploader_integration_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/uploader_integration_test.cpp
    LIBS util orvdeadline
    DEPENDS orvane3uploader
    DEFINES UPLOADER_BIN="$<TARGET_FILE:orvane3uploader>"
            UPLOADER_FTPD="${CMAKE_CURRENT_SOURCE_DIR}/uploader_ftpd.py"
            UPLOADER_PYTHON="${ORV_UPLOADER_PYTHON}"
            UPLOADER_BUSYBOX="${ORV_BUSYBOX}"
    LABELS integration slow
    TIMEOUT 600)
  # Real servers and a network namespace: not a unit test.
  set_tests_properties(uploader_integration_test PROPERTIES LABELS "integration;slow")
endif()

# orvane3uploader.exe end to end under wine: the same real servers in a
# network namespace of the test's own, the program on pipes (its output is
# code page 932). The driver is a host script, so it runs in the win32 tree.
if(ORV_WIN32 AND CMAKE_CROSSCOMPILING)
  orv_require_program(ORV_WINE wine "wine, wine32")
  add_test(NAME uploader_wine_test
           COMMAND ${ORV_UPLOADER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/uploader_wine_test.py
                   --exe $<TARGET_FILE:orvane3uploader>
                   --wine-run ${CMAKE_CROSSCOMPILING_EMULATOR}
                   --prefix ${CMAKE_BINARY_DIR}/wineprefix-netns
                   --ftpd ${CMAKE_CURRENT_SOURCE_DIR}/uploader_ftpd.py
                   --python ${ORV_UPLOADER_PYTHON}
                   --busybox "${ORV_BUSYBOX}")
  set_tests_properties(uploader_wine_test PROPERTIES
    LABELS "integration;slow;wine" TIMEOUT 900 SKIP_RETURN_CODE 77)
  orv_wine_test(uploader_wine_test)
endif()
