# shellcheck over every shell script of the tree (scripts/lint-shell): a finding
# fails the test; without shellcheck it says so in one line and is not run (77).
# lint_shell_test checks the lint itself and the report helpers of appliance/lib.sh.
if(ORV_HOST_TESTS AND NOT ORV_SANITIZE)
  add_test(NAME shellcheck COMMAND ${CMAKE_SOURCE_DIR}/scripts/lint-shell)
  set_tests_properties(shellcheck PROPERTIES LABELS unit SKIP_RETURN_CODE 77 TIMEOUT 300)
  add_test(NAME lint_shell_test COMMAND ${CMAKE_SOURCE_DIR}/tests/integration/lint_shell_test.sh)
  set_tests_properties(lint_shell_test PROPERTIES LABELS unit TIMEOUT 120)
endif()
