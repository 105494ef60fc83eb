#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

#include "prclient.h"
#include "test_util.h"

namespace {

using namespace testutil;

// A remote call against a controller of the test's own, with the scratch
// directory checked empty afterwards on every path.
class TrpcTest : public testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(ListDir(scratch_.path()), std::vector<std::string>{}); }

  struct Result {
    int code = -100, status = -100;
    std::string out;
  };
  // A call to the controller on this host.
  Result Call(std::vector<const char*> args = {}, const char* request = "prwatch") {
    Result r;
    r.out = CaptureStdout([&] {
      r.code = prclient::TRPC(HostName().c_str(), ctl_.slash().c_str(), request,
                              static_cast<int>(args.size()), args.data(), &r.status);
    });
    return r;
  }

  TempDir scratch_, ctl_;
  const std::string scratchPath_ = scratch_.slash();
  Scoped<const char*> tmp_{prclient::Tmpqdir, scratchPath_.c_str()};
  // Polled without a pause until a controller answers.
  Scoped<int> wait_{prclient::netwait, 0}, trys_{prclient::ntrys, 10000000};
};

// A request name over kMaxNameLength characters is cut in its field and on the line.
TEST_F(TrpcTest, ALongRequestNameIsCutInItsFieldAndOnTheLine) {
  std::vector<SeenRequest> seen;
  auto ctl = Answering(ctl_.path(), "0\n", &seen);
  std::vector<const char*> fifteen(13, "a");
  fifteen.insert(fifteen.end(), {"14th", "15th"});
  Call(fifteen, "averylongrequestname");
  std::string line = "averylongrequ";
  for (int i = 0; i < 13; ++i) line += " \"a\"";
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(std::tie(seen[0].request, seen[0].count, seen[0].line),
            std::tuple("averylongrequ", "15", (line + " \"14th\"").substr(0, prclient::kLineField)));
}

TEST_F(TrpcTest, RepliesRelayedExactly) {
  std::string binary("0\n", 2);
  for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
  binary += std::string(1000, 'L') + "\r\nno final newline";
  const std::string longFirst = "5" + std::string(300, 'x') + "\nrest\n";
  const struct {
    std::string reply;
    int code, status;
    std::string out;
  } cases[] = {
      {"3\nline one\nline two\n", prclient::kTrpcOk, 3, "line one\nline two\n"},
      {"", prclient::kTrpcSystemError, -100, ""},
      {"7\n", prclient::kTrpcOk, 7, ""},
      {"  -12 apples\nx", prclient::kTrpcOk, -12, "x"},
      {"busy\ntext\n", prclient::kTrpcOk, 0, "text\n"},
      {"99999999999\n", prclient::kTrpcOk, 2147483647, ""},
      {"-99999999999\n", prclient::kTrpcOk, -2147483647 - 1, ""},
      {"2\r\n", prclient::kTrpcOk, 2, ""},
      {binary, prclient::kTrpcOk, 0, binary.substr(2)},
      // The status line buffer holds 255 bytes; the rest is text.
      {longFirst, prclient::kTrpcOk, 5, longFirst.substr(255)},
  };
  for (const auto& c : cases) {
    auto ctl = Answering(ctl_.path(), c.reply);
    Result r = Call({"-p", "q 1", "-l"});
    EXPECT_EQ(std::tie(r.code, r.status, r.out), std::tie(c.code, c.status, c.out)) << c.reply.substr(0, 20);
  }
}

TEST_F(TrpcTest, PollLimits) {
  EXPECT_EQ(std::pair(wait_.old(), trys_.old()), std::pair(5, 12)) << "the defaults the manuals give";
  // Nobody answers: ntrys polls, then "no reply"; none or a negative count.
  prclient::ntrys = 3;
  EXPECT_EQ(Call().code, prclient::kTrpcNoReply);
  prclient::ntrys = 0;
  EXPECT_EQ(Call().code, prclient::kTrpcNoReply);
  prclient::ntrys = -1;
  EXPECT_EQ(Call().code, prclient::kTrpcSystemError);
  // A second's wait before the one poll and after it: slept, not spun.
  prclient::ntrys = prclient::netwait = 1;
  const std::clock_t cpu = std::clock();
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(Call().code, prclient::kTrpcNoReply);
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(took, std::chrono::seconds(2));
  EXPECT_LT(took, std::chrono::milliseconds(3500));
  EXPECT_LT(std::clock() - cpu, CLOCKS_PER_SEC * 3 / 10) << "slept, not spun";
  // The requests stay on the controller: the client removes nothing there.
  EXPECT_EQ(ListDir(ctl_.path()).size(), 4u);
}

// Outside a remote call, also once one has ended, a blocked interrupt is
// the caller's to take: a Delay pauses and leaves it pending.
TEST_F(TrpcTest, DelayAfterACallLeavesItsCallersBlockedSignalsPending) {
  // SIGTERM: a suite started in the background by a shell has SIGINT ignored.
  prclient::ntrys = 0;
  EXPECT_EQ(Call().code, prclient::kTrpcNoReply);
  sigset_t term, saved;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &term, &saved);
  raise(SIGTERM);
  const auto t0 = std::chrono::steady_clock::now();
  prclient::Delay(1);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1)) << "the pause is whole";
  const timespec none{};
  EXPECT_EQ(sigtimedwait(&term, nullptr, &none), SIGTERM) << "still pending";
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

// A scratch directory with room for the request's path but one character
// short of room for the reply's (kPathSize with its 13-character name):
// nothing is sent.
TEST_F(TrpcTest, ScratchWithNoRoomForTheReplySendsNothing) {
  TempDir deep;
  std::string dir = deep.path() + "/";
  dir += std::string(110 - dir.size(), 'd');
  mkdir(dir.c_str(), 0700);
  dir += "/";
  prclient::Tmpqdir = dir.c_str();
  prclient::ntrys = 1;  // sent, it would be polled for once
  EXPECT_EQ(Call().code, prclient::kTrpcSystemError);
  EXPECT_EQ(ListDir(dir), std::vector<std::string>{});
  EXPECT_EQ(ListDir(ctl_.path()), std::vector<std::string>{});
}

// An interrupt in a fetch (here the copy's own) ends the call at once: the
// copy is ended gently first and has time to clean up before it is killed,
// and the client then dies of the signal.
TEST_F(TrpcTest, InterruptInAFetchEndsTheCopyGentlyFirst) {
  ScopedEnv path("PATH", StubBinDir() + "/faulty:" + getenv("PATH")),
      report("FAULT_PIDS", ctl_ / "cleaned"), fault("FAULT", "slow");
  auto ctl = Answering(ctl_.path(), "0\n");  // the copy runs once a reply stands
  const auto t0 = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGINT, SIG_DFL);  // a background job starts with it ignored
    int status;
    prclient::TRPC(HostName().c_str(), ctl_.slash().c_str(), "prwatch", 0, nullptr, &status);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  EXPECT_EQ(ReadFile(ctl_ / "cleaned"), "cleaned\n");
}

}  // namespace
