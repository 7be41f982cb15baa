# Fuzz targets of the cabinet engine and the self-extractor's block and command line.
orv_add_fuzz(pakrel_cab_fuzz
  SOURCES ${CMAKE_SOURCE_DIR}/tools/pakrel/fuzz_cab.cpp
  LIBS cabengine
  CORPUS corpus/pakrel_cab)
orv_add_fuzz(pakrel_cmdline_fuzz
  SOURCES ${CMAKE_SOURCE_DIR}/tools/pakrel/fuzz_cmdline.cpp
  LIBS cabengine
  CORPUS corpus/pakrel_cmdline)
