# The two programs, unit-tested through their option scans and run whole as
# processes. The end-to-end copies read "cconf" and use "spool/" relative to
# their working directory, so every test runs them in an area of its own.
add_executable(options_test options_test.cc)
target_link_libraries(options_test PRIVATE prwatch_options prbay_options GTest::gtest_main)
gtest_discover_tests(options_test DISCOVERY_TIMEOUT 30)

prclient_library(prclient_e2e "cconf" "spool/")
foreach(program prwatch prbay)
  add_executable(${program}_e2e ${PROJECT_SOURCE_DIR}/${program}/main.cc)
  target_link_libraries(${program}_e2e PRIVATE ${program}_options prclient_e2e)
  set_target_properties(${program}_e2e PROPERTIES
    OUTPUT_NAME ${program}
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/e2e-bin)
endforeach()

# What the end-to-end suites share: processes, areas, the stand-ins.
add_library(e2e_util OBJECT process.cc test_util.cc)
target_compile_definitions(e2e_util PUBLIC
  PRCLIENT_TEST_STUBS="${CMAKE_CURRENT_SOURCE_DIR}/stubs"
  PRCLIENT_TEST_TMP="${CMAKE_BINARY_DIR}/test-tmp"
  E2E_BIN="${CMAKE_BINARY_DIR}/e2e-bin"
  CONTROLLER_BIN="${CMAKE_BINARY_DIR}/bin/prcontroller"
  SAMPLE_STATE="${PROJECT_SOURCE_DIR}/prcontroller/sample-state")
target_link_libraries(e2e_util PUBLIC GTest::gtest)

add_executable(programs_test programs_test.cc)
target_link_libraries(programs_test PRIVATE e2e_util GTest::gmock GTest::gtest_main)
add_dependencies(programs_test prwatch_e2e prbay_e2e prcontroller)
gtest_discover_tests(programs_test DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 90)
