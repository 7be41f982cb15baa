# Parsers of gatex1d: meter answers as the scan and get_value examine them.
set(d ${CMAKE_CURRENT_LIST_DIR})
if(TARGET pmcore)
  orv_add_fuzz(fuzz_pm_answer SOURCES ${d}/pm_answer_fuzz.cpp LIBS pmcore CORPUS corpus/pm_answer)
endif()
