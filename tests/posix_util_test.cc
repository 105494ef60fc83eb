#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <thread>

#include "interrupt.h"
#include "number.h"
#include "posix_util.h"
#include "prclient.h"
#include "test_util.h"

namespace {

using prclient::NumberForm;

TEST(ParseInteger, WholeFieldsAreStrict) {
  // The C-reader form is pinned by the status line and prwatch's options.
  const struct {
    const char* text;
    long long min, max;
    std::optional<long long> value;
  } cases[] = {
      {"42", 0, 100, 42},    {"0", 0, 0, 0},          {"-3", -5, 5, -3},
      {"-3", 0, 5, {}},      {"-0", 0, 5, {}},        {"+3", 0, 5, {}},
      {" 3", 0, 5, {}},      {"3 ", 0, 5, {}},        {"", 0, 5, {}},
      {"101", 0, 100, {}},   {"-6", -5, 5, {}},       {"99999999999999999999", 0, LLONG_MAX, {}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(prclient::ParseInteger(c.text, NumberForm::kWhole, c.min, c.max), c.value)
        << c.text;
  EXPECT_EQ(prclient::ParseInteger("-99999999999999999999x", NumberForm::kPrefix, -9, 9), -9);
}

TEST(PosixUtil, ReadAllStopsAtTheLimitAndRemovalTakesDirectories) {
  testutil::TempDir dir;
  testutil::WriteFile(dir / "f", std::string(70000, 'x'));
  std::string got, err;
  for (std::size_t limit : {70000, 69999}) {
    prclient::Fd fd(::open((dir / "f").c_str(), O_RDONLY));
    EXPECT_EQ(prclient::ReadAll(fd.get(), &got, limit, &err), limit == 70000) << limit;
  }
  ::mkdir((dir / "d").c_str(), 0700);
  prclient::Fd d(::open((dir / "d").c_str(), O_RDONLY));  // reading it fails
  EXPECT_FALSE(prclient::ReadAll(d.get(), &got, 10, &err));
  { prclient::ScopedRemoval d(dir / "d"), f(dir / "f"); }
  EXPECT_TRUE(testutil::ListDir(dir.path()).empty());
}

// A signal whose handler does not restart calls interrupts a read: the
// reading goes on, and all the data comes.
TEST(PosixUtil, ReadAllGoesOnAfterAnInterruptedRead) {
  static std::atomic<bool> handled{false};
  struct sigaction act {}, saved {};
  act.sa_handler = [](int) { handled = true; };
  sigaction(SIGUSR1, &act, &saved);
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  prclient::Fd in(ends[0]), out(ends[1]);
  const std::string stat = "/proc/self/task/" + std::to_string(gettid()) + "/stat";
  std::thread writer([&, reader = pthread_self()] {
    auto waitFor = [end = std::chrono::steady_clock::now() + std::chrono::seconds(10)](auto done) {
      while (!done() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    // Once the reader sleeps in its read: the signal, then the data.
    waitFor([&] { std::string s = testutil::ReadFile(stat); return s[s.rfind(')') + 2] == 'S'; });
    pthread_kill(reader, SIGUSR1);
    waitFor([] { return handled.load(); });
    EXPECT_EQ(write(out.get(), "data", 4), 4);
    out = prclient::Fd();
  });
  std::string got, err;
  EXPECT_TRUE(prclient::ReadAll(in.get(), &got, 100, &err)) << err;
  writer.join();
  EXPECT_EQ(got, "data");
  EXPECT_TRUE(handled);
  sigaction(SIGUSR1, &saved, nullptr);
}

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

// A deadline has passed once its own nanosecond is reached, not as soon as
// its second begins.
TEST(Deadline, PassedAtItsNanosecond) {
  using prclient::detail::Now;
  timespec end = Now();
  if (end.tv_nsec > 900000000L) usleep(150000);
  end = Now();
  end.tv_nsec = 999999999L;
  EXPECT_FALSE(prclient::detail::Passed(end));
  EXPECT_TRUE(prclient::detail::Passed(Now()));
}

}  // namespace
