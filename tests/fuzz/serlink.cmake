# serlink: the RS-485 answer receiver, the request handling against a line that
# answers with the fuzz input, and the configuration reader.
set(d ${CMAKE_CURRENT_LIST_DIR})
orv_add_fuzz(fuzz_serlink_rcv SOURCES ${d}/serlink_rcv_fuzz.cpp LIBS serlinkcore CORPUS corpus/serlink_rcv)
orv_add_fuzz(fuzz_serlink_request SOURCES ${d}/serlink_request_fuzz.cpp LIBS serlinkcore CORPUS corpus/serlink_request)
orv_add_fuzz(fuzz_serlink_ini SOURCES ${d}/serlink_ini_fuzz.cpp LIBS serlinkcore CORPUS corpus/serlink_ini)
