# Fuzz targets for the cabinet engine's LZX and Quantum decoders.
orv_add_fuzz(lzx_decoder_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/decoders_fuzz.cpp
  LIBS cabdecoders CORPUS corpus/lzx_decoder_fuzz)
orv_add_fuzz(quantum_decoder_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/decoders_fuzz.cpp
  LIBS cabdecoders CORPUS corpus/quantum_decoder_fuzz)
target_compile_definitions(quantum_decoder_fuzz PRIVATE ORV_FUZZ_QUANTUM=1)
