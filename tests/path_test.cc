#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "prclient.h"
#include "test_util.h"

namespace {

TEST(Path, MakePath) {
  EXPECT_EQ(prclient::MakePath(nullptr, "x"), "x");
  EXPECT_EQ(prclient::MakePath("", "x"), "x");
  EXPECT_EQ(prclient::MakePath("/", "x"), "/x");
  EXPECT_EQ(prclient::MakePath("/a", "x"), "/a/x");
  EXPECT_EQ(prclient::MakePath("/a/", "x"), "/a/x");
  EXPECT_EQ(prclient::MakePath("/a", "/x"), "/a//x");
}

TEST(Path, SimpleAndDirPath) {
  EXPECT_EQ(prclient::SimplePath("a/b/c"), "c");
  EXPECT_EQ(prclient::SimplePath("abc"), "abc");
  EXPECT_EQ(prclient::SimplePath("a/b/"), "");
  const std::pair<const char*, const char*> dirs[] = {
      {"a/b/c", "a/b"}, {"/c", "/"}, {"/", "/"}, {"a/", "a"},
      {"a//b", "a/"},   {"abc", ""}, {"", ""},   {"//x", "/"}};
  for (const auto& [in, want] : dirs) EXPECT_EQ(prclient::DirPath(in), want) << in;
}

TEST(Path, SetDirAndGetDir) {
  char start[prclient::kPathSize];
  ASSERT_EQ(prclient::GetDir(start, sizeof start), 0);
  testutil::TempDir tmp;
  char buf[prclient::kPathSize];

  EXPECT_EQ(prclient::SetDir((tmp.path() + "/").c_str()), 0);  // trailing "/" dropped
  ASSERT_EQ(prclient::GetDir(buf, sizeof buf), 0);
  EXPECT_EQ(std::string(buf), tmp.path());
  EXPECT_EQ(prclient::SetDir(nullptr), 0);
  EXPECT_EQ(prclient::SetDir(""), 0);
  EXPECT_EQ(std::string(getcwd(buf, sizeof buf)), tmp.path());  // unchanged
  EXPECT_EQ(prclient::SetDir("/"), 0);
  EXPECT_EQ(prclient::SetDir("/nonexistent-dir/"), -1);
  EXPECT_EQ(prclient::SetDir(std::string(200, 'a').c_str()), -1);
  EXPECT_EQ(prclient::GetDir(buf, 1), -1);  // too small for any path
  EXPECT_EQ(prclient::SetDir(start), 0);
}

TEST(Delay, NegativeAndZeroDoNotWait) {
  auto t0 = std::chrono::steady_clock::now();
  prclient::Delay(-5);
  prclient::Delay(0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
}

TEST(Delay, LeavesItsCallersBlockedSignalsPending) {
  // Outside a remote call, a blocked interrupt is the caller's to take.
  sigset_t intr, saved, pending;
  sigemptyset(&intr);
  sigaddset(&intr, SIGINT);
  pthread_sigmask(SIG_BLOCK, &intr, &saved);
  raise(SIGINT);
  prclient::Delay(1);
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGINT), 1);
  int taken = 0;
  sigwait(&intr, &taken);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

TEST(Strdup, CopiesIntoFreshMemory) {
  const char text[] = "a \"quoted\" arg";
  char* copy = prclient::strdup(text);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, text);
  EXPECT_STREQ(copy, text);
  std::free(copy);
}

}  // namespace
