# scripts/install-deps against stand-ins of apt and dpkg (a mirror in mid-sync, a
# 32-bit wine that cannot be installed, a required package that cannot be had).
if(ORV_POSIX AND NOT CMAKE_CROSSCOMPILING AND NOT ORV_FUZZ AND NOT ORV_SANITIZE)
  add_test(NAME install_deps_test COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/install_deps_test.sh)
  set_tests_properties(install_deps_test PROPERTIES LABELS unit TIMEOUT 300)
endif()
