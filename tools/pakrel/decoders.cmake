# The LZX and Quantum decoders of the cabinet engine, with their unit tests.
# Included from this folder's CMakeLists.txt; cabengine links cabdecoders.
add_library(cabdecoders STATIC
  ${CMAKE_CURRENT_LIST_DIR}/huffman.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lzx.cpp
  ${CMAKE_CURRENT_LIST_DIR}/quantum.cpp)
target_include_directories(cabdecoders PUBLIC ${CMAKE_CURRENT_LIST_DIR})

if(ORV_TESTS)
  orv_add_gtest(decoders_unit_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/bits_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/huffman_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/lzx_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/quantum_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/window_test.cpp
    LIBS cabdecoders)
  # Real cabinets against cabextract, the reference extractor, run on this host.
  if(ORV_POSIX AND NOT CMAKE_CROSSCOMPILING AND NOT ORV_FUZZ)
    orv_require_program(ORV_CABEXTRACT cabextract cabextract)
    orv_add_gtest(decoders_cabinet_test
      SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/cabinet_decode_test.cpp
      LIBS cabdecoders orvdeadline
      DEFINES ORV_CABEXTRACT="${ORV_CABEXTRACT}" ORV_CAB_DATA="${CMAKE_SOURCE_DIR}/tests/data/cab"
      LABELS integration)
  endif()
endif()
