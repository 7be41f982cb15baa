# Fuzz targets of the cabinet engine and the self-extractor's block and command line.
orv_add_fuzz(pakrel_cab_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/pakrel_cab_fuzz.cpp
  LIBS sfxcore
  CORPUS corpus/pakrel_cab)
orv_add_fuzz(pakrel_cmdline_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/pakrel_cmdline_fuzz.cpp
  LIBS sfxcore
  CORPUS corpus/pakrel_cmdline)
