# The stand-in controller's tests: parser, options and listings in process;
# the daemon itself run as a program on scratch directories.
add_executable(controller_test controller_listing_test.cc controller_request_test.cc
  controller_server_test.cc controller_state_test.cc process.cc test_util.cc)
target_link_libraries(controller_test PRIVATE
  prcontroller_core prclient GTest::gmock GTest::gtest_main)
target_compile_definitions(controller_test PRIVATE
  PRCLIENT_TEST_STUBS="${CMAKE_CURRENT_SOURCE_DIR}/stubs"
  PRCONTROLLER_PATH="$<TARGET_FILE:prcontroller>"
  PRCONTROLLER_SAMPLE_STATE="${PROJECT_SOURCE_DIR}/prcontroller/sample-state")
add_dependencies(controller_test prcontroller)
gtest_discover_tests(controller_test DISCOVERY_TIMEOUT 30)
