# Parsers of gatex1d: meter answers as the scan and get_value examine them.
set(d ${CMAKE_CURRENT_LIST_DIR})
orv_add_fuzz(fuzz_pm_answer SOURCES ${d}/pm_answer_fuzz.cpp LIBS pmcore CORPUS corpus/pm_answer)
# The daemons' own request tables on arbitrary client bytes.
orv_add_fuzz(fuzz_gatex1d_requests SOURCES ${d}/gatex1d_requests_fuzz.cpp LIBS pmcore CORPUS corpus/gatex1d_requests)
orv_add_fuzz(fuzz_gatex2d_requests SOURCES ${d}/gatex2d_requests_fuzz.cpp LIBS utcore CORPUS corpus/gatex2d_requests)
