# The programs run whole under faults and many at once, on a terminal, against
# another user, over the platform's own rcp and rsh against a private
# in.rshd, built for ssh against a private sshd, and against a private cupsd.
foreach(test fault rsh ssh cups terminal hostile)
  add_executable(${test}_test ${test}_test.cc)
  target_link_libraries(${test}_test PRIVATE e2e_util GTest::gmock GTest::gtest_main)
  add_dependencies(${test}_test prwatch_e2e prbay_e2e prcontroller)
  target_compile_definitions(${test}_test PRIVATE TOOLS_DIR="${PROJECT_SOURCE_DIR}/tools")
  # The scheduler cases take turns: one private cupsd starting at a time
  # keeps its start-up within the cases' waits on two cores.
  set(lock "")
  if(test STREQUAL "cups")
    set(lock RESOURCE_LOCK cupsd)
  endif()
  gtest_discover_tests(${test}_test DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120 ${lock})
endforeach()
target_compile_definitions(ssh_test PRIVATE E2E_SSH_BIN="${CMAKE_BINARY_DIR}/e2e_ssh-bin")
target_link_libraries(ssh_test PRIVATE prclient_e2e_ssh)
add_dependencies(ssh_test prwatch_e2e_ssh prbay_e2e_ssh)
