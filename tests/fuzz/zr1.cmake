# ZR1Communicator: the request dispatch against a fake transceiver whose answers
# come from the input, and the commander's configuration reader.
set(d ${CMAKE_CURRENT_LIST_DIR})
orv_add_fuzz(fuzz_zr1_docommand SOURCES ${d}/zr1_docommand_fuzz.cpp LIBS zr1fake CORPUS corpus/zr1_docommand)
orv_add_fuzz(fuzz_zr1_ini SOURCES ${d}/zr1_ini_fuzz.cpp LIBS zr1core CORPUS corpus/zr1_ini)
