# The two programs, unit-tested through their option scans and run whole as
# processes. The end-to-end copies read "cconf" and use "spool/" relative to
# their working directory, so every test runs them in an area of its own.
add_executable(options_test options_test.cc)
target_link_libraries(options_test PRIVATE prwatch_args prbay_args prclient GTest::gtest_main)
gtest_discover_tests(options_test DISCOVERY_TIMEOUT 30)

# The copies are built as <program>_<suffix> into <suffix>-bin/, over a
# library of that suffix; the stand-ins are an rcp's, so the copies they
# serve stay on rcp whatever PRCLIENT_REMOTE chose. The ssh copies are for
# the test against a private sshd.
function(e2e_programs suffix remote)
  prclient_library(prclient_${suffix} "cconf" "spool/" REMOTE ${remote} COPY_LIMIT 5)
  foreach(program prwatch prbay)
    add_executable(${program}_${suffix} ${PROJECT_SOURCE_DIR}/${program}/main.cc)
    target_link_libraries(${program}_${suffix} PRIVATE ${program}_args prclient_${suffix})
    set_target_properties(${program}_${suffix} PROPERTIES
      OUTPUT_NAME ${program}
      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${suffix}-bin)
  endforeach()
endfunction()
e2e_programs(e2e rsh)
e2e_programs(e2e_ssh ssh)

# What the end-to-end suites share: processes, areas, the stand-ins.
add_library(e2e_util OBJECT test_util.cc e2e_util.cc)
target_include_directories(e2e_util PUBLIC ${PROJECT_SOURCE_DIR}/lib)
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
