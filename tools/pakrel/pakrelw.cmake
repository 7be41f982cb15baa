# pakrelW: the self-extracting package's Windows program (win32 preset only).
if(ORV_WIN32)
  add_library(cabengine_win32 STATIC platform/win32/winfs.cpp)
  target_link_libraries(cabengine_win32 PUBLIC cabengine orv_wintext)
  add_executable(pakrelW WIN32 win32/pakrelw.cpp win32/dialogs.cpp win32/destdialog.cpp
    win32/programrun.cpp win32/pakrelw.rc)
  target_include_directories(pakrelW PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/win32)
  # windres reports no dependencies: name the files the resources take in.
  set_source_files_properties(win32/pakrelw.rc PROPERTIES OBJECT_DEPENDS
    "${CMAKE_CURRENT_SOURCE_DIR}/win32/pakrelw.manifest;${CMAKE_CURRENT_SOURCE_DIR}/win32/resource.h;${CMAKE_CURRENT_SOURCE_DIR}/win32/res/folder.ico;${CMAKE_CURRENT_SOURCE_DIR}/win32/res/replace.ico;${CMAKE_CURRENT_SOURCE_DIR}/win32/res/progress.avi")
  target_link_options(pakrelW PRIVATE -municode)
  target_link_libraries(pakrelW PRIVATE cabengine_win32 comctl32 shell32 ole32 mpr)
endif()

# Real packages under wine + xvfb, packed by the host's pakrel (native preset;
# the test skips when it has not been built).
if(ORV_WIN32 AND ORV_TESTS)
  add_executable(pakrelw_carried win32/test/carried.cpp)
  target_link_options(pakrelw_carried PRIVATE -municode -mwindows)
  add_executable(pakrelw_dlgdriver win32/test/dlgdriver.cpp)
  target_link_options(pakrelw_dlgdriver PRIVATE -municode)
  target_link_libraries(pakrelw_dlgdriver PRIVATE cabengine_win32 ZLIB::ZLIB)
  set(PAKREL_HOST ${CMAKE_SOURCE_DIR}/build/native/bin/pakrel CACHE FILEPATH "The Linux pakrel that packs test packages")
  add_test(NAME pakrelw_run
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/win32/test/xvfb.sh python3 ${CMAKE_CURRENT_SOURCE_DIR}/win32/test/pakrelw_run.py ${CMAKE_CROSSCOMPILING_EMULATOR}
            $<TARGET_FILE:pakrelW> $<TARGET_FILE:pakrelw_carried> $<TARGET_FILE:pakrelw_dlgdriver>
            ${PAKREL_HOST} ${CMAKE_CURRENT_BINARY_DIR}/pakrelw_run ${CMAKE_BINARY_DIR}/artifacts)
  set_tests_properties(pakrelw_run PROPERTIES LABELS "integration;wine" SKIP_RETURN_CODE 77
    RUN_SERIAL TRUE TIMEOUT 900 ENVIRONMENT "WINEPREFIX_DIR=${CMAKE_BINARY_DIR}/wineprefix")
  orv_wine_test(pakrelw_run)
endif()
