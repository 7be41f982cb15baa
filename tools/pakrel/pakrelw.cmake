# pakrelW: the self-extracting package's Windows program (win32 preset only).
if(ORV_WIN32)
  add_library(cabengine_win32 STATIC platform/win32/winfs.cpp)
  target_link_libraries(cabengine_win32 PUBLIC cabengine)
  add_executable(pakrelW WIN32 win32/pakrelw.cpp win32/pakrelw.rc)
  target_include_directories(pakrelW PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/win32)
  target_link_options(pakrelW PRIVATE -municode)
  target_link_libraries(pakrelW PRIVATE cabengine_win32 comctl32 shell32 ole32)
endif()
