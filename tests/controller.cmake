# The stand-in controller's tests: parser, options and listings in process;
# the daemon itself run as a program on scratch directories, among other
# users of its request directory and with its inputs changing under it, and
# against a stand-in CUPS scheduler that answers badly.
add_executable(controller_test
  controller_answer_test.cc controller_cli_test.cc controller_escape_test.cc controller_request_test.cc
  controller_server_test.cc controller_state_test.cc controller_table_test.cc
  cups_standin_test.cc)
target_compile_definitions(controller_test PRIVATE
  STANDIN_SCHEDULER="${CMAKE_CURRENT_SOURCE_DIR}/standin_scheduler.py")
target_link_libraries(controller_test PRIVATE
  e2e_util prcontroller_core prclient GTest::gmock GTest::gtest_main)
add_dependencies(controller_test prcontroller prwatch_e2e)
gtest_discover_tests(controller_test DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)
