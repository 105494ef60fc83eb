# The programs run whole under faults and load, and over the platform's own
# rcp and rsh against a private in.rshd.
add_library(fault_util OBJECT fault_util.cc process.cc test_util.cc)
target_compile_definitions(fault_util PUBLIC
  PRCLIENT_TEST_STUBS="${CMAKE_CURRENT_SOURCE_DIR}/stubs"
  E2E_BIN="${CMAKE_BINARY_DIR}/e2e-bin"
  CONTROLLER_BIN="${CMAKE_BINARY_DIR}/bin/prcontroller"
  SAMPLE_STATE="${PROJECT_SOURCE_DIR}/prcontroller/sample-state")
target_link_libraries(fault_util PUBLIC GTest::gtest)

add_executable(fault_test fault_test.cc)
target_link_libraries(fault_test PRIVATE fault_util GTest::gmock GTest::gtest_main)
add_dependencies(fault_test prwatch_e2e prbay_e2e)
gtest_discover_tests(fault_test DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 60)

# PRCLIENT_LOAD_CLIENTS=200 build/bin/load_test is the benchmark's size.
add_executable(load_test load_test.cc)
target_link_libraries(load_test PRIVATE fault_util GTest::gtest_main)
add_dependencies(load_test prwatch_e2e)
if(TARGET prcontroller)
  add_dependencies(load_test prcontroller)
endif()
gtest_discover_tests(load_test DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)

add_executable(rsh_test rsh_test.cc)
target_link_libraries(rsh_test PRIVATE fault_util GTest::gmock GTest::gtest_main)
add_dependencies(rsh_test prwatch_e2e)
if(TARGET prcontroller)
  add_dependencies(rsh_test prcontroller)
endif()
gtest_discover_tests(rsh_test DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)
