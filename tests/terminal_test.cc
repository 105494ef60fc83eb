// prwatch on a terminal of the test's own, started as a shell starts a
// command: leading its session and in the foreground, with keys typed
// at the terminal reaching its whole process group.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "fault_util.h"

namespace {

using faults::Millis;
using testing::IsEmpty;
using Clock = std::chrono::steady_clock;

// The client on a fresh pseudo-terminal; standard error there too unless
// `errFile` names a file. `ignored` signals are ignored, as under nohup.
class OnTerminal {
 public:
  OnTerminal(const testutil::Launch& launch, const std::string& errFile,
             const std::vector<int>& ignored) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const std::string slave = ptsname(master_);
    testutil::Words env = testutil::Environment(launch.env), words = testutil::Argv(launch);
    std::vector<char*> envp = env.pointers(), argv = words.pointers();
    // Ignored from before the fork: a signal sent at once finds it so.
    std::vector<struct sigaction> saved(ignored.size());
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    for (std::size_t i = 0; i < ignored.size(); ++i) sigaction(ignored[i], &ignore, &saved[i]);
    pid_ = fork();
    for (std::size_t i = 0; pid_ != 0 && i < ignored.size(); ++i)
      sigaction(ignored[i], &saved[i], nullptr);
    if (pid_ != 0) return;
    // Only calls safe after fork in a threaded process from here on.
    setsid();
    const int tty = open(slave.c_str(), O_RDWR);  // the session's controlling terminal
    const int err = errFile.empty() ? tty : open(errFile.c_str(), O_WRONLY | O_CREAT, 0600);
    dup2(tty, 0), dup2(tty, 1), dup2(err, 2);
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);  // SIGQUIT leaves no core in the area
    if (chdir(launch.cwd.c_str()) == 0) execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  ~OnTerminal() {
    if (pid_ > 0) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
    if (master_ >= 0) close(master_);
  }
  pid_t pid() const { return pid_; }
  std::size_t shown() const { return screen_.size(); }
  void Type(const std::string& keys) {
    EXPECT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  // Reads the terminal until `text` shows after `from` or `limit` passes.
  bool Await(const std::string& text, std::size_t from, Millis limit) {
    const auto end = Clock::now() + limit;
    while (screen_.find(text, from) == std::string::npos) {
      pollfd p{master_, POLLIN, 0};
      char buf[4096];
      const auto left = std::chrono::duration_cast<Millis>(end - Clock::now()).count();
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) return false;  // EIO: nobody holds the terminal any more
      screen_.append(buf, static_cast<std::size_t>(n));
    }
    return true;
  }
  // What the terminal showed, once the client has ended and closed it.
  const std::string& Screen() {
    Await(std::string(1, '\0'), 0, Millis(2000));
    return screen_;
  }
  // The exit status, or -signal; -1000 when it had to be killed after 10 s.
  int Wait() {
    int status = 0;
    const bool ended = faults::WaitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; },
                                       Millis(10000));
    if (!ended) kill(pid_, SIGKILL), waitpid(pid_, &status, 0);
    pid_ = 0;
    return !ended ? -1000 : WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }

 private:
  int master_ = -1;
  pid_t pid_ = 0;
  std::string screen_;
};

// A controller on this host answers at once; "ctlhost" is another host
// reached through the stand-in copy commands, which answers nothing.
class Terminal : public testing::Test {
 protected:
  static void SetUpTestSuite() { faults::BecomeSubreaper(); }
  void SetUp() override {
    area_.WriteConf(testutil::HostName(), area_.requests() + "/");
    std::filesystem::create_directories(area_ / "hosts/ctlhost" + area_.requests());
  }
  void TearDown() override {
    EXPECT_THAT(testutil::ListDir(area_.spool()), IsEmpty()) << "left in the scratch directory";
    EXPECT_TRUE(faults::ReapAll(Millis(3000))) << "processes left running";
  }
  testutil::Launch Client(std::vector<std::string> args, const std::string& fault) {
    return area_.StubbedClient("prwatch", std::move(args), {"FAULT=" + fault});
  }

  faults::Area area_;
  testutil::TestController ctl_{area_.requests(),
                                [](const testutil::SeenRequest&, std::string* out) {
                                  *out = "0\nanswer\n";
                                  return true;
                                }};
};

TEST_F(Terminal, TheCopyCommandAsksOnTheTerminal) {
  testutil::TestController remote(area_ / "hosts/ctlhost" + area_.requests(),
                                  [](const testutil::SeenRequest&, std::string* out) {
                                    *out = "0\nfar answer\n";
                                    return true;
                                  });
  OnTerminal client(Client({"-server", "ctlhost", "-nwait", "0"}, "ask"), "", {});
  // The send asks, then every fetch until the answer is there.
  for (std::size_t seen = 0; client.Await("rcp password: ", seen, Millis(5000));) {
    seen = client.shown();
    client.Type("secret\n");
  }
  EXPECT_THAT(client.Screen(), testing::HasSubstr("far answer\r\n"));
  EXPECT_EQ(client.Wait(), 0);
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
    OnTerminal client(Client({"-server", "ctlhost", "-nwait", "0"}, "hang"), "", {});
    ASSERT_TRUE(
        faults::WaitFor([&] { return testutil::Exists(area_ / "stub-pids"); }, Millis(5000)));
    const auto t0 = Clock::now();
    if (c.key) client.Type(c.key);
    else kill(client.pid(), c.sig);
    EXPECT_EQ(client.Wait(), -c.sig);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(1));
    EXPECT_TRUE(faults::ReapAll(Millis(1000))) << "the copy or its child left running";
    EXPECT_THAT(testutil::ListDir(area_.spool()), IsEmpty());
  }
}

TEST_F(Terminal, SignalsIgnoredAtStartChangeNothing) {
  OnTerminal client(Client({"-nwait", "1"}, ""), "", {SIGINT, SIGHUP});
  ASSERT_TRUE(faults::WaitFor([&] { return !faults::ChildrenOf(client.pid()).empty() ||
                                           testutil::ListDir(area_.spool()).size() == 1; },
                              Millis(5000)));  // started its call
  client.Type("\x03");
  kill(client.pid(), SIGHUP);
  EXPECT_EQ(client.Wait(), 0);
  EXPECT_THAT(client.Screen(), testing::EndsWith("answer\r\n"));
}

// A long wait shows one status line, updated in place and erased before
// the answer; with standard error in a file, not a byte of it anywhere.
TEST_F(Terminal, StatusLineOnlyOnATerminal) {
  const std::string errFile = area_ / "err";
  for (bool onTerminal : {true, false}) {
    SCOPED_TRACE(onTerminal ? "terminal" : "file");
    OnTerminal client(Client({"-nwait", "2"}, ""), onTerminal ? "" : errFile, {});
    EXPECT_EQ(client.Wait(), 0);
    const std::string screen = client.Screen();
    if (onTerminal) {
      const std::regex shown("(\rWaiting for [^\r\n]+: 0 of 12 polls made *)+\r +\ranswer\r\n");
      EXPECT_TRUE(std::regex_match(screen, shown)) << screen;
    } else {
      EXPECT_EQ(screen, "answer\r\n");
      EXPECT_EQ(testutil::ReadFile(errFile), "");
    }
  }
}

}  // namespace
