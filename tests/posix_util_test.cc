#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "posix_util.h"
#include "test_util.h"

namespace {

using namespace testutil;

TEST(PosixUtil, ReadsStopAtTheLimitOrTheEndAndRemovalTakesDirectories) {
  TempDir dir;
  WriteFile(dir / "f", std::string(70000, 'x'));
  std::string got, err;
  for (std::size_t limit : {70000, 69999}) {
    prclient::Fd fd(::open((dir / "f").c_str(), O_RDONLY));
    EXPECT_EQ(prclient::ReadAll(fd.get(), &got, limit, &err), limit == 70000) << limit;
  }
  WriteFile(dir / "one", "x");  // a last read of one byte
  const prclient::Fd head(::open((dir / "one").c_str(), O_RDONLY));
  errno = EINTR;  // an earlier call's, which must not make a read look interrupted
  EXPECT_EQ(prclient::ReadHead(head.get(), 10), "x");
  ::mkdir((dir / "d").c_str(), 0700);
  prclient::Fd d(::open((dir / "d").c_str(), O_RDONLY));  // reading it fails
  EXPECT_FALSE(prclient::ReadAll(d.get(), &got, 10, &err));
  { prclient::ScopedRemoval d(dir / "d"), f(dir / "f"), one(dir / "one"); }
  EXPECT_TRUE(ListDir(dir.path()).empty());
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
    // Once the reader sleeps in its read: the signal, then the data.
    WaitFor([&] { std::string s = ReadFile(stat); return s[s.rfind(')') + 2] == 'S'; }, Millis(10000));
    pthread_kill(reader, SIGUSR1);
    WaitFor([] { return handled.load(); }, Millis(10000));
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

}  // namespace
