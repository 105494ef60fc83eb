# The programs run whole under faults and load, and over the platform's own
# rcp and rsh against a private in.rshd.
# PRCLIENT_LOAD_CLIENTS=200 build/bin/load_test is the benchmark's size.
add_library(fault_util OBJECT fault_util.cc process.cc test_util.cc)
target_compile_definitions(fault_util PUBLIC
  PRCLIENT_TEST_STUBS="${CMAKE_CURRENT_SOURCE_DIR}/stubs"
  E2E_BIN="${CMAKE_BINARY_DIR}/e2e-bin"
  CONTROLLER_BIN="${CMAKE_BINARY_DIR}/bin/prcontroller"
  SAMPLE_STATE="${PROJECT_SOURCE_DIR}/prcontroller/sample-state")
target_link_libraries(fault_util PUBLIC GTest::gtest)

foreach(test fault load rsh)
  add_executable(${test}_test ${test}_test.cc)
  target_link_libraries(${test}_test PRIVATE fault_util GTest::gmock GTest::gtest_main)
  add_dependencies(${test}_test prwatch_e2e prbay_e2e)
  if(TARGET prcontroller)
    add_dependencies(${test}_test prcontroller)
  endif()
  gtest_discover_tests(${test}_test DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)
endforeach()
