# gatex2d, the node gateway driver. Its pure cores (Modbus frames, register decoding,
# leaf names, toq table) build for every toolchain; the node table and requests,
# the socket link and the daemon are POSIX and use the gatex daemon frame and the
# shared scaling.
set(g2 ${CMAKE_CURRENT_LIST_DIR})
add_library(utframe STATIC ${g2}/binary.cpp ${g2}/util.cpp ${g2}/utframe.cpp)
target_include_directories(utframe PUBLIC ${g2})
target_link_libraries(utframe PUBLIC drvcommon)
orv_add_gtest(utframe_test SOURCES ${g2}/utframe_test.cpp LIBS utframe)

if(NOT ORV_POSIX)
  return()
endif()

add_library(utcore STATIC ${g2}/utnode.cpp)
target_link_libraries(utcore PUBLIC utframe gatexscale)

add_library(utlink STATIC ${g2}/utlink.cpp)
target_link_libraries(utlink PUBLIC utcore gatexframe)

add_executable(gatex2d ${g2}/gatex2d.cpp)
target_link_libraries(gatex2d PRIVATE utlink)

orv_add_gtest(gatex2d_test SOURCES ${g2}/utnode_test.cpp ${g2}/utlink_test.cpp LIBS utlink)
