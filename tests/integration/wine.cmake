# How the Windows stages find out whether wine can start their programs
# (cmake/wine-check, cmake/wine-run): every way of failing, with stand-in loaders,
# so it runs in the native preset and needs no wine.
if(ORV_HOST_TESTS AND NOT ORV_SANITIZE)
  add_test(NAME wine_check_test
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine_check_test.sh ${CMAKE_SOURCE_DIR}
                   ${CMAKE_CURRENT_BINARY_DIR}/wine_check_test)
  set_tests_properties(wine_check_test PROPERTIES LABELS unit TIMEOUT 300)
endif()
