# The stand-in controller's tests: parser, options and listings in process;
# the daemon itself run as a program on scratch directories.
add_executable(controller_test controller_listing_test.cc controller_request_test.cc
  controller_server_test.cc controller_state_test.cc)
target_link_libraries(controller_test PRIVATE
  e2e_util prcontroller_core prclient GTest::gmock GTest::gtest_main)
add_dependencies(controller_test prcontroller)
gtest_discover_tests(controller_test DISCOVERY_TIMEOUT 30)

# Other users of the request directory, and inputs changing under the
# controller.
add_executable(controller_hostile_test controller_hostile_test.cc)
target_link_libraries(controller_hostile_test PRIVATE e2e_util prclient GTest::gtest_main)
add_dependencies(controller_hostile_test prcontroller)
gtest_discover_tests(controller_hostile_test DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)
