# Parsers of the driver framework.
set(d ${CMAKE_CURRENT_LIST_DIR})
orv_add_fuzz(fuzz_ov3_parse SOURCES ${d}/ov3_parse_fuzz.cpp LIBS drvcommon CORPUS corpus/ov3_parse)
orv_add_fuzz(fuzz_unescape SOURCES ${d}/unescape_fuzz.cpp LIBS drvcommon CORPUS corpus/unescape)
orv_add_fuzz(fuzz_ini_load SOURCES ${d}/ini_load_fuzz.cpp LIBS drvcommon CORPUS corpus/ini_load)
orv_add_fuzz(fuzz_reqloop SOURCES ${d}/reqloop_fuzz.cpp LIBS drvcommon CORPUS corpus/reqloop)
