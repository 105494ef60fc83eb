#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "prclient.h"

namespace {

// A string that ends where readable memory ends is copied without a look
// past its NUL; a copy that cannot be allocated is null, not a crash.
TEST(Strdup, ReadsNoFurtherThanTheNulAndFailsCleanly) {
  const long page = sysconf(_SC_PAGESIZE);
  void* map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  char* end = static_cast<char*>(map) + page;
  ASSERT_EQ(mprotect(end, page, PROT_NONE), 0);
  std::memcpy(end - 4, "abc", 4);
  char* copy = prclient::strdup(end - 4);
  EXPECT_STREQ(copy, "abc");
  std::free(copy);
  munmap(map, 2 * page);
#ifndef __SANITIZE_ADDRESS__  // its allocator reserves far more than any limit
  auto copyBeyondTheLimit = [page] {
    const std::string big(16 << 20, 'x');
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlimit lim{rlim_t(pages * page + (4 << 20)), RLIM_INFINITY};
    setrlimit(RLIMIT_AS, &lim);
    std::_Exit(prclient::strdup(big.c_str()) == nullptr ? 0 : 1);
  };
  // Run in a fresh process: free memory other tests left in the heap would
  // let the copy succeed under any limit.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(copyBeyondTheLimit(), testing::ExitedWithCode(0), "");
#endif
}

}  // namespace
