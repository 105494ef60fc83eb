// prwatch on a terminal of the test's own, started as a shell starts a
// command: leading its session and in the foreground, with keys typed
// at the terminal reaching its whole process group.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include "e2e_util.h"
#include "posix_util.h"

namespace {

using namespace testutil;

using testing::IsEmpty;
using Clock = std::chrono::steady_clock;

// A pseudo-terminal of the test's own, and what it showed.
class Pty {
 public:
  Pty() : master_(posix_openpt(O_RDWR | O_NOCTTY)) {
    EXPECT_TRUE(master_ && grantpt(master_.get()) == 0 && unlockpt(master_.get()) == 0);
  }
  const char* slave() const { return ptsname(master_.get()); }
  void Type(const std::string& keys) {
    EXPECT_EQ(write(master_.get(), keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  // Reads the terminal until `text` shows after what the last call found,
  // or `limit` passes.
  bool Await(const std::string& text, Millis limit) {
    const auto end = Clock::now() + limit;
    std::size_t at;
    while ((at = screen_.find(text, from_)) == std::string::npos) {
      pollfd p{master_.get(), POLLIN, 0};
      char buf[4096];
      const auto left = std::chrono::duration_cast<Millis>(end - Clock::now()).count();
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
      const ssize_t n = read(master_.get(), buf, sizeof buf);
      if (n <= 0) return false;  // EIO: nobody holds the terminal any more
      screen_.append(buf, static_cast<std::size_t>(n));
    }
    from_ = at + text.size();
    return true;
  }
  // Everything shown, once nobody holds the terminal.
  const std::string& Screen() {
    Await(std::string(1, '\0'), Millis(2000));
    return screen_;
  }

 private:
  prclient::Fd master_;
  std::string screen_;
  std::size_t from_ = 0;
};

// A controller on this host answers at once; "ctlhost" is another host
// reached through the stand-in copy commands, which answers nothing.
class Terminal : public AreaTest {
 protected:
  std::unique_ptr<TestController> ctl_ = Answering(area_.requests(), "0\nanswer\n");
};

// The send asks, then the fetch after a wait long enough to show the wait
// line, which goes before the question.
TEST_F(Terminal, TheCopyCommandAsksOnTheTerminal) {
  auto remote = Answering(area_ / "hosts/ctlhost" + area_.requests(), "0\nfar answer\n");
  Pty tty;
  Running client(area_.StubbedClient({"-server", "ctlhost", "-nwait", "2"}, {"FAULT=ask"}), tty.slave());
  while (tty.Await("rcp password: ", Millis(5000))) tty.Type("secret\n");
  EXPECT_EQ(client.FinishWithin(Millis(5000)).exitCode, 0);
  EXPECT_THAT(tty.Screen(), testing::AllOf(testing::HasSubstr("polls made\r"), testing::HasSubstr(" \rrcp password: "),
                                          testing::HasSubstr("far answer\r\n")));
}
// Typed keys reach the client and its copy command together; a signal sent
// to the client alone ends the copy command first. Either way the client
// dies of the signal at once, leaving nothing behind.
TEST_F(Terminal, InterruptsDuringASlowSend) {
  const struct {
    int sig;
    const char* key;  // null: sent to the client alone
  } cases[] = {{SIGINT, "\x03"}, {SIGQUIT, "\x1c"}, {SIGTERM, nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(sigabbrev_np(c.sig));
    unlink((area_ / "stub-pids").c_str());
    Pty tty;
    Running client(area_.StubbedClient({"-server", "ctlhost", "-nwait", "0"}, {"FAULT=hang"}), tty.slave());
    ASSERT_TRUE(WaitFor([&] { return Exists(area_ / "stub-pids"); }));
    const auto t0 = Clock::now();
    if (c.key) tty.Type(c.key);
    else kill(client.pid(), c.sig);
    EXPECT_EQ(client.FinishWithin(Millis(5000)).exitCode, -c.sig);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(1));
    EXPECT_TRUE(ReapAll(Millis(1000))) << "the copy or its child left running";
    EXPECT_THAT(ListDir(area_.spool()), IsEmpty());
  }
}

TEST_F(Terminal, SignalsIgnoredAtStartChangeNothing) {
  // Ignored here from before the start, as nohup leaves them, and SIGCHLD
  // as some daemons leave it to what they run: the copies' ends still count.
  const auto savedInt = signal(SIGINT, SIG_IGN), savedHup = signal(SIGHUP, SIG_IGN),
             savedChld = signal(SIGCHLD, SIG_IGN);
  Pty tty;
  Running client(area_.StubbedClient({"-nwait", "1"}), tty.slave());
  signal(SIGINT, savedInt), signal(SIGHUP, savedHup), signal(SIGCHLD, savedChld);
  ASSERT_TRUE(WaitFor([&] { return ListDir(area_.spool()).size() == 1; }));  // its call has begun
  tty.Type("\x03");
  kill(client.pid(), SIGHUP);
  EXPECT_EQ(client.FinishWithin(Millis(5000)).exitCode, 0);
  EXPECT_THAT(tty.Screen(), testing::EndsWith("answer\r\n"));
}

// A long wait shows one wait line, updated in place and erased before the
// answer: the host's control characters shown as ^X, and the line kept to
// the 80 columns assumed when the terminal reports none, as a fresh
// pseudo-terminal does. (Standard error in a file gets not a byte of it:
// the fault tests wait as long and compare it whole.)
TEST_F(Terminal, WaitLineWhileWaiting) {
  auto remote = Answering(area_ / "hosts/ctlhost" + area_.requests(), "0\nfar answer\n");
  Pty tty;
  Running client(
      area_.StubbedClient({"-server", std::string(17, '\t') + "ctlhost", "-nwait", "2"}), tty.slave());
  EXPECT_EQ(client.FinishWithin(Millis(10000)).exitCode, 0);
  EXPECT_THAT(tty.Screen(),
              testing::MatchesRegex("(\rWaiting for (\\^I){17}ctlhost's reply: 0 of 12 polls ma)+"
                                    "\r +\rfar answer\r\n"));
}

}  // namespace
