// prwatch and prbay run whole under faults: a scratch directory that is
// missing, locked, linked, open or full, a full standard output, copy
// commands that are missing, fail or hang, controllers that are down, slow
// or broken, interrupting signals, a planted link and hostile input. After
// every case the scratch directory is empty and no process is left.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "e2e_util.h"

namespace {

using namespace testutil;

using testing::EndsWith;
using testing::Eq;
using testing::IsEmpty;
using Clock = std::chrono::steady_clock;

const char kUnreachable[] = "Server or directory unreachable\n";
const char kNotResponding[] = "Server not responding\n";
const char kSystemError[] = "System error\n";
const std::vector<std::string> kUntilAnswered{"-nwait", "0", "-ntries", "10000000"};

// The programs run with the failing copy commands first on PATH (passing
// calls on until a test sets FAULT) and the stand-in rcp behind them:
// "ctlhost" is another host whose request directory has the same path as
// the local one, "bare" one without it.
class Faults : public AreaTest {
 protected:
  void ForgetRun() {
    std::filesystem::remove(area_ / "calls");
    std::filesystem::remove(pids_);
    for (const std::string& dir : {area_.requests(), area_ / "hosts/ctlhost" + area_.requests()})
      for (const std::string& name : ListDir(dir)) unlink((dir + "/" + name).c_str());
  }

  const std::string pids_ = area_ / "stub-pids";
};

// Refused before anything is sent unless the scratch directory is the
// client's to use: behind another user's link the request and the reply
// would land where that user can move them and put links in their place,
// and in a directory everyone may write only the sticky bit prevents that.
TEST_F(Faults, ScratchDirectoryThatOthersControlIsRefused) {
  std::string why;
  const passwd* nobody = Nobody(&why);
  const std::string spool = area_.spool();
  TempDir elsewhere;
  const struct {
    const char* what;
    int mode;  // -1: no directory at all
    bool link, theirs, asNobody, served;
  } cases[] = {
      {"missing", -1, false, false, false, false},
      // Root writes anywhere, so the program runs as nobody then.
      {"not writable", 0555, false, false, true, false},
      {"the administrator's link", 0, true, false, false, true},
      {"another user's link", 0, true, true, false, false},
      {"open to all", 0777, false, false, false, false},
      {"open to all, sticky", 01777, false, false, false, true},
      {"the administrator's, sticky, for another user", 01777, false, false, true, true},
      // Its owner may rename anything in it, sticky or not.
      {"another user's, sticky", 01777, false, true, false, false},
      {"open to its group", 0775, false, false, false, false},
  };
  auto ctl = Answering(area_.requests(), "0\nanswer\n");
  chmod(area_.requests().c_str(), 01777);  // as a site sets it up for every user
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(spool);
    if ((c.theirs || c.asNobody) && !nobody) continue;
    if (c.link) { ASSERT_EQ(symlink(elsewhere.path().c_str(), spool.c_str()), 0); }
    if (c.mode > 0) { ASSERT_EQ(mkdir(spool.c_str(), 0) | chmod(spool.c_str(), static_cast<mode_t>(c.mode)), 0); }
    if (c.theirs) { ASSERT_EQ(lchown(spool.c_str(), nobody->pw_uid, nobody->pw_gid), 0); }
    const Launch launch = area_.StubbedClient(kUntilAnswered);
    const Outcome o = RunProgram(c.asNobody ? As(nobody, launch) : launch);
    EXPECT_EQ(o, (c.served ? Outcome{"answer\n", "", 0} : Outcome{"", kSystemError, 255}));
    EXPECT_THAT(ListDir(spool), IsEmpty());
  }
  if (!nobody) GTEST_SKIP() << "the cases as another user not run: " << why;
}

// Each ends in its message at once, after as many fetches as it allowed.
TEST_F(Faults, CopyCommandsAndControllersThatFail) {
  const std::string noPath = "PATH=" + area_ / "no-bin";
  // From this host a copy runs only for a reply that stands: a second for it.
  const std::vector<std::string> aSecond{"-nwait", "1", "-ntries", "2"};
  const struct {
    const char* what;
    const char* reply;  // null: no controller
    std::vector<std::string> args, env;
    testing::Matcher<std::string> err;
    int fetches;
  } cases[] = {
      // Sending to this host needs no search; fetching the reply does.
      {"cp missing", "0\nanswer\n", aSecond, {noPath}, Eq(kNotResponding), 0},
      // What the shell said of a missing command, then the client's word.
      {"rcp missing", nullptr, {"-server", "ctlhost"}, {noPath},
       Eq(std::string("rcp: not found\n") + kUnreachable), 0},
      // The failed send's complaint is shown, and no poll follows.
      {"send failing", nullptr, {"-server", "ctlhost"}, {"FAULT=fail"},
       Eq(std::string("rcp: injected failure\n") + kUnreachable), 0},
      // Failed fetches are retried; what a failed one left is not an answer.
      {"fetch failing", "0\nanswer\n", aSecond, {"FAULT=fail"}, Eq(kNotResponding), 2},
      {"fetch leaving half", "0\nanswer\n", aSecond, {"FAULT=partial"}, Eq(kNotResponding), 2},
      {"request directory missing", nullptr, {"-server", "bare"}, {}, EndsWith(kUnreachable), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ForgetRun();
    auto ctl = c.reply ? Answering(area_.requests(), c.reply) : nullptr;
    const auto t0 = Clock::now();
    const Outcome o = RunProgram(area_.StubbedClient(c.args, c.env));
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
    EXPECT_THAT(o.err, c.err);
    EXPECT_EQ(std::tuple(o.out, o.exitCode, Fetches()), std::tuple("", 255, c.fetches));
  }
}

// An interrupt while the client waits between polls, while its request is
// being sent and while a reply is being fetched, also by a copy that
// ignores it and is killed once it has had its time. Without a terminal
// whose hangup would end the copy too, the client alone must end it.
TEST_F(Faults, InterruptEndsTheCopyRemovesEverythingAndDiesOfTheSignal) {
  const struct {
    const char* during;
    int sig;
    std::vector<std::string> args;
    std::string fault;
  } phases[] = {
      {"the wait", SIGUSR1, {"-nwait", "30", "-ntries", "2"}, ""},
      {"the send", SIGINT, {"-server", "ctlhost", "-nwait", "0"}, "hang"},
      // The send to this host is /usr/bin/cp's; the stub fetches the reply that stands.
      {"the fetch", SIGHUP, kUntilAnswered, "hang"},
      {"the fetch, by SIGALRM", SIGALRM, kUntilAnswered, "hang"},
      {"a stubborn fetch", SIGTERM, kUntilAnswered, "stubborn"},
  };
  for (const auto& phase : phases) {
    SCOPED_TRACE(phase.during);
    ForgetRun();
    auto ctl = phase.fault.empty() ? nullptr : Answering(area_.requests(), "0\n");
    Running client(area_.StubbedClient(phase.args, {"FAULT=" + phase.fault}));
    // Until the copy hangs, or the request is sent and the client waits alone.
    ASSERT_TRUE(WaitFor([&] {
      return phase.fault.empty() ? area_.Requests(area_.requests()).size() == 1 &&
                                       ChildrenOf(client.pid()).empty()
                                 : Exists(pids_);
    }, Millis(10000)));
    const auto t0 = Clock::now();
    Outcome o = client.Finish(phase.sig);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(4));
    EXPECT_EQ(o, (Outcome{"", "", -phase.sig}));
    EXPECT_THAT(ListDir(area_.spool()), IsEmpty());
    EXPECT_TRUE(ReapAll(Millis(3000))) << "the copy or its child left running";
  }
}

TEST_F(Faults, LinkPlantedAtTheReplyPathWritesNothingThrough) {
  // Another user of the shared scratch directory reads the reply name from
  // the request and plants a link under it.
  const std::string precious = area_ / "precious";
  WriteFile(precious, "precious\n");
  std::string planted;
  TestController ctl(area_.requests(), [&](const SeenRequest& req, std::string* out) {
    planted = area_.spool() + "/" + req.reply;
    *out = symlink(precious.c_str(), planted.c_str()) == 0 ? "0\nanswer\n" : "1\nnot planted\n";
    return true;
  });
  EXPECT_EQ(RunProgram(area_.StubbedClient(kUntilAnswered)), (Outcome{"answer\n", "", 0}));
  EXPECT_EQ(ReadFile(precious), "precious\n");
  EXPECT_EQ(unlink(planted.c_str()), 0) << "the link was removed";
}

// An answer that could not be shown is not reported as given; with nothing
// to show, a full standard output loses nothing.
TEST_F(Faults, RepliesLostToAFullOutput) {
  const std::pair<std::string, int> cases[] = {
      {"0\nlisting\n", 255}, {"0\n" + std::string(100000, 'x'), 255}, {"3\n", 3}};
  for (const auto& [reply, code] : cases) {
    auto ctl = Answering(area_.requests(), reply);
    Launch l = area_.StubbedClient(kUntilAnswered);
    l.stdoutPath = "/dev/full";
    Outcome o = RunProgram(l);
    EXPECT_EQ(o, (Outcome{"", code == 255 ? kSystemError : "", code})) << reply.substr(0, 20);
  }
}

}  // namespace
