# Parsers of gatex2d: gateway answers as the rescan, get_value and the raw
# pass-through examine them, and the trace encodings of frames.
set(d ${CMAKE_CURRENT_LIST_DIR})
orv_add_fuzz(fuzz_ut_answer SOURCES ${d}/ut_answer_fuzz.cpp LIBS utcore CORPUS corpus/ut_answer)
orv_add_fuzz(fuzz_ut_hex SOURCES ${d}/ut_hex_fuzz.cpp LIBS utframe CORPUS corpus/ut_hex)
