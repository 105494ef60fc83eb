# The programs run whole under faults and load, on a terminal, and over the
# platform's own rcp and rsh against a private in.rshd.
# PRCLIENT_LOAD_CLIENTS=200 build/bin/load_test is the benchmark's size.
foreach(test fault load rsh terminal hostile)
  add_executable(${test}_test ${test}_test.cc fault_util.cc)
  target_link_libraries(${test}_test PRIVATE e2e_util GTest::gmock GTest::gtest_main)
  add_dependencies(${test}_test prwatch_e2e prbay_e2e prcontroller)
  gtest_discover_tests(${test}_test DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)
endforeach()
