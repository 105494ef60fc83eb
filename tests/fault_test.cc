// prwatch and prbay run whole under faults: a scratch directory that is
// missing, locked, linked or full, a full standard output, copy commands
// that are missing, fail or hang, controllers that are down, slow or broken,
// interrupting signals, another user's link and hostile input. Every case
// checks the exit status, the message, and that the scratch directory is
// left empty.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <thread>

#include "fault_util.h"

namespace {

using faults::Millis;
using testing::EndsWith;
using testing::IsEmpty;
using testutil::Outcome;
using testutil::SeenRequest;

const char kUnreachable[] = "Server or directory unreachable\n";
const char kNotResponding[] = "Server not responding\n";
const char kSystemError[] = "System error\n";

std::string FaultyBin() { return testutil::StubBinDir() + "/faulty"; }

// The programs run in an area of their own with the failing copy commands
// first on PATH (passing calls on until a test sets FAULT) and the stand-in
// rcp behind them: "ctlhost" is another host whose request directory has
// the same path as the local one.
class Faults : public testing::Test {
 protected:
  static void SetUpTestSuite() { faults::BecomeSubreaper(); }
  void SetUp() override {
    area_.WriteConf(testutil::HostName(), area_.requests() + "/");
    std::filesystem::create_directories(remoteRequests_);
  }
  void TearDown() override {
    EXPECT_THAT(testutil::ListDir(area_.spool()), IsEmpty()) << "left in the scratch directory";
    EXPECT_TRUE(faults::ReapAll(Millis(3000))) << "processes left running";
  }

  testutil::Launch Client(const char* program, std::vector<std::string> args,
                          std::vector<std::string> env = {}) {
    auto add = [&env](const std::string& entry) {
      const std::string name = entry.substr(0, entry.find('=') + 1);
      for (const std::string& e : env)
        if (e.rfind(name, 0) == 0) return;
      env.push_back(entry);
    };
    add("PATH=" + FaultyBin() + ":" + testutil::StubBinDir() + ":" + getenv("PATH"));
    add("RCP_ROOT=" + area_ / "hosts");
    add("FAULT_LOG=" + log_);
    add("FAULT_PIDS=" + pids_);
    return area_.Client(program, std::move(args), std::move(env));
  }
  Outcome Run(const char* program, std::vector<std::string> args,
              std::vector<std::string> env = {}) {
    return testutil::Run(Client(program, std::move(args), std::move(env)));
  }

  // Answers every request in the local (or ctlhost's) request directory.
  std::unique_ptr<testutil::TestController> Answer(const std::string& reply,
                                                   bool remote = false) {
    return std::make_unique<testutil::TestController>(
        remote ? remoteRequests_ : area_.requests(),
        [reply](const SeenRequest&, std::string* out) {
          *out = reply;
          return true;
        });
  }

  // The copy commands the programs ran through PATH, in order. Requests to
  // this host go through /usr/bin/cp and are not among them.
  std::vector<std::string> Calls() {
    std::vector<std::string> lines;
    std::string all = testutil::ReadFile(log_);
    for (std::size_t at = 0, nl; (nl = all.find('\n', at)) != std::string::npos; at = nl + 1)
      lines.push_back(all.substr(at, nl - at));
    return lines;
  }
  int Fetches() {
    int n = 0;
    for (const std::string& call : Calls())
      n += call.rfind("cp ", 0) == 0 || call.rfind("rcp ctlhost:", 0) == 0;
    return n;
  }
  void ForgetRun() {
    unlink(log_.c_str());
    unlink(pids_.c_str());
    for (const std::string& dir : {area_.requests(), remoteRequests_})
      for (const std::string& name : testutil::ListDir(dir)) unlink((dir + "/" + name).c_str());
  }
  // The stub's pids once a hanging copy has started.
  std::vector<pid_t> StubPids() {
    if (!faults::WaitFor([&] { return testutil::Exists(pids_); }, Millis(10000))) return {};
    std::vector<pid_t> pids;
    std::istringstream in(testutil::ReadFile(pids_));
    for (pid_t p; in >> p;) pids.push_back(p);
    return pids;
  }

  faults::Area area_;
  const std::string remoteRequests_ = area_ / "hosts/ctlhost" + area_.requests();
  const std::string log_ = area_ / "calls";
  const std::string pids_ = area_ / "stub-pids";
};

TEST_F(Faults, ScratchDirectoryMissingOrNotWritable) {
  rmdir(area_.spool().c_str());
  Outcome missing = Run("prwatch", {"-nwait", "0"});
  EXPECT_EQ(missing.err, kSystemError);
  EXPECT_EQ(missing.exitCode, 255);
  mkdir(area_.spool().c_str(), 0755);

  // Root writes anywhere, so the program runs as nobody then.
  testutil::Launch locked = Client("prbay", {});
  if (std::optional<faults::User> nobody = faults::Nobody()) {
    locked = faults::As(*nobody, locked);
  } else if (faults::Root()) {
    GTEST_SKIP() << "running as root without a user \"nobody\" to become";
  } else {
    chmod(area_.spool().c_str(), 0555);
  }
  Outcome notWritable = testutil::Run(locked);
  chmod(area_.spool().c_str(), 0755);
  EXPECT_EQ(notWritable.out, "");
  EXPECT_EQ(notWritable.err, kSystemError);
  EXPECT_EQ(notWritable.exitCode, 255);
  EXPECT_THAT(area_.Requests(area_.requests()), IsEmpty());
}

TEST_F(Faults, ScratchDirectoryBehindTheAdministratorsLink) {
  // A site may keep the scratch directory elsewhere behind a link of its
  // own: the client works through it and leaves nothing there.
  testutil::TempDir elsewhere;
  rmdir(area_.spool().c_str());
  ASSERT_EQ(symlink(elsewhere.path().c_str(), area_.spool().c_str()), 0);
  auto ctl = Answer("0\nthrough the link\n");
  Outcome o = Run("prwatch", {"-nwait", "0"});
  EXPECT_EQ(o.out, "through the link\n");
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_THAT(testutil::ListDir(elsewhere.path()), IsEmpty());
}

// Behind another user's link the request file and the reply directory
// would land in that user's directory, to be moved and replaced by links of
// their own.
TEST_F(Faults, ScratchDirectoryBehindAnotherUsersLinkIsRefused) {
  std::optional<faults::User> nobody = faults::Nobody();
  if (!nobody) GTEST_SKIP() << "needs root to plant a link as nobody";
  testutil::TempDir theirs;
  ASSERT_EQ(chown(theirs.path().c_str(), nobody->uid, nobody->gid), 0);
  chmod(theirs.path().c_str(), 0777);
  // Where the scratch directory's parent is open to everyone, anyone can
  // put a link in its place.
  rmdir(area_.spool().c_str());
  chmod(area_.path().c_str(), 0777);
  const std::string target = theirs.path(), link = area_.spool();
  const bool planted =
      faults::AsUser(*nobody, [&] { return symlink(target.c_str(), link.c_str()) == 0; });
  chmod(area_.path().c_str(), 0755);
  ASSERT_TRUE(planted);
  auto ctl = Answer("0\nanswer\n");
  Outcome o = Run("prwatch", {"-nwait", "0"});
  EXPECT_EQ(o.err, kSystemError);
  EXPECT_EQ(o.exitCode, 255);
  EXPECT_THAT(testutil::ListDir(theirs.path()), IsEmpty());
  EXPECT_THAT(area_.Requests(area_.requests()), IsEmpty());
}

// In a directory everyone may write, only the sticky bit keeps others from
// moving the client's files away and putting links in their place.
TEST_F(Faults, ScratchDirectoryOpenToAllMustBeSticky) {
  auto ctl = Answer("0\nanswer\n");
  chmod(area_.spool().c_str(), 0777);
  Outcome open = Run("prwatch", {"-nwait", "0"});
  EXPECT_EQ(open.err, kSystemError);
  EXPECT_EQ(open.exitCode, 255);
  EXPECT_THAT(area_.Requests(area_.requests()), IsEmpty());
  chmod(area_.spool().c_str(), 01777);
  Outcome sticky = Run("prwatch", {"-nwait", "0"});
  EXPECT_EQ(sticky.out, "answer\n");
  EXPECT_EQ(sticky.exitCode, 0);
  chmod(area_.spool().c_str(), 0755);
}

// A small tmpfs mounted over a directory in a mount namespace of the test's
// own: nobody else sees it, and it is gone with the test at the latest.
class SmallTmpfs {
 public:
  SmallTmpfs(const std::string& where, const std::string& options) : where_(where) {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", where.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
      error_ = std::strerror(errno);
      return;
    }
    chmod(where.c_str(), 0755);
  }
  ~SmallTmpfs() {
    if (error_.empty()) umount2(where_.c_str(), MNT_DETACH);
  }
  SmallTmpfs(const SmallTmpfs&) = delete;
  SmallTmpfs& operator=(const SmallTmpfs&) = delete;
  const std::string& error() const { return error_; }

 private:
  std::string where_, error_;
};

// Writes `path` until the file system refuses more, or `bytes` at most.
void Fill(const std::string& path, std::size_t bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const std::string block(4096, 'f');
  for (std::size_t done = 0; done < bytes;)
    if (write(fd, block.data(), std::min(block.size(), bytes - done)) <= 0) break;
    else done += std::min(block.size(), bytes - done);
  close(fd);
}

TEST_F(Faults, ScratchDirectoryFull) {
  SmallTmpfs tmpfs(area_.spool(), "size=64k");
  if (!tmpfs.error().empty())
    GTEST_SKIP() << "cannot mount a small tmpfs (needs root): " << tmpfs.error();
  const std::string filler = area_.spool() + "/filler";

  // Room for the request, none for the reply: the fetch fails part way.
  Fill(filler, 48 * 1024);
  auto ctl = Answer("0\n" + std::string(64 * 1024, 'r'));
  Outcome noRoomForReply = Run("prwatch", {"-nwait", "0", "-ntries", "3"});
  EXPECT_EQ(noRoomForReply.out, "");
  EXPECT_EQ(noRoomForReply.err, kNotResponding);
  EXPECT_EQ(noRoomForReply.exitCode, 255);
  EXPECT_EQ(Fetches(), 3);
  ctl.reset();

  // No room at all: the request file is made but cannot be written.
  ForgetRun();
  Fill(filler, 64 * 1024);
  Outcome full = Run("prwatch", {"-nwait", "0"});
  EXPECT_EQ(full.err, kSystemError);
  EXPECT_EQ(full.exitCode, 255);
  EXPECT_THAT(area_.Requests(area_.requests()), IsEmpty());

  EXPECT_EQ(testutil::ListDir(area_.spool()), std::vector<std::string>{"filler"});
  unlink(filler.c_str());
}

TEST_F(Faults, StandardOutputFull) {
  // An answer that could not be shown is not reported as given.
  for (const std::string& text : {std::string("listing\n"), std::string(100000, 'x')}) {
    auto ctl = Answer("0\n" + text);
    testutil::Launch l = Client("prwatch", {"-nwait", "0"});
    l.stdoutPath = "/dev/full";
    Outcome o = testutil::Run(l);
    EXPECT_EQ(o.err, kSystemError) << text.size();
    EXPECT_EQ(o.exitCode, 255);
  }
  // With nothing to show, nothing is lost.
  auto ctl = Answer("3\n");
  testutil::Launch l = Client("prwatch", {"-nwait", "0"});
  l.stdoutPath = "/dev/full";
  Outcome empty = testutil::Run(l);
  EXPECT_EQ(empty.err, "");
  EXPECT_EQ(empty.exitCode, 3);
}

TEST_F(Faults, CopyCommandMissingFromThePath) {
  const std::string noBin = area_ / "no-bin";
  mkdir(noBin.c_str(), 0755);
  // Sending to this host needs no search; fetching the reply does.
  Outcome local = Run("prwatch", {"-nwait", "0", "-ntries", "2"}, {"PATH=" + noBin});
  EXPECT_EQ(local.err, kNotResponding);
  EXPECT_EQ(local.exitCode, 255);
  EXPECT_EQ(area_.Requests(area_.requests()).size(), 1u);
  Outcome remote = Run("prwatch", {"-server", "ctlhost", "-nwait", "0"}, {"PATH=" + noBin});
  EXPECT_EQ(remote.err, kUnreachable);
  EXPECT_EQ(remote.exitCode, 255);
}

TEST_F(Faults, CopyCommandFailing) {
  Outcome send = Run("prwatch", {"-server", "ctlhost", "-nwait", "0"}, {"FAULT=fail"});
  EXPECT_EQ(send.err, std::string("rcp: injected failure\n") + kUnreachable);
  EXPECT_EQ(send.exitCode, 255);
  EXPECT_EQ(Calls().size(), 1u);  // no polls after a failed send
  EXPECT_THAT(area_.Requests(remoteRequests_), IsEmpty());

  // Failed fetches are retried; what a failed one left is not an answer.
  auto ctl = Answer("0\nanswer\n");
  for (const char* fault : {"FAULT=fail", "FAULT=partial"}) {
    ForgetRun();
    Outcome fetch = Run("prwatch", {"-nwait", "0", "-ntries", "3"}, {fault});
    EXPECT_EQ(fetch.out, "") << fault;
    EXPECT_EQ(fetch.err, kNotResponding) << fault;
    EXPECT_EQ(fetch.exitCode, 255);
    EXPECT_EQ(Fetches(), 3);
  }
}

TEST_F(Faults, ControllerDown) {
  auto t0 = std::chrono::steady_clock::now();
  Outcome o = Run("prwatch", {"-nwait", "0", "-ntries", "4"});
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, kNotResponding);
  EXPECT_EQ(o.exitCode, 255);
  EXPECT_EQ(Fetches(), 4);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

TEST_F(Faults, SlowControllerAnswersAtALaterPoll) {
  // Answers only after three polls came in vain: a poll is logged as it
  // starts, so the fourth must have started.
  auto late = [this](const SeenRequest&, std::string* out) {
    faults::WaitFor([&] { return Fetches() >= 4; }, Millis(20000));
    *out = "6\nlate\n";
    return true;
  };
  {
    testutil::TestController ctl(area_.requests(), late);
    Outcome o = Run("prwatch", {"-nwait", "0", "-ntries", "100000"});
    EXPECT_EQ(o.out, "late\n");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.exitCode, 6);
    EXPECT_GE(Fetches(), 4);
  }
  // Between polls the client waits its seconds.
  ForgetRun();
  testutil::TestController ctl(remoteRequests_, [this](const SeenRequest&, std::string* out) {
    faults::WaitFor([&] { return Fetches() >= 2; }, Millis(20000));
    *out = "0\nlater\n";
    return true;
  });
  auto t0 = std::chrono::steady_clock::now();
  Outcome o = Run("prwatch", {"-server", "ctlhost", "-nwait", "1", "-ntries", "4"});
  EXPECT_EQ(o.out, "later\n");
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_THAT(Fetches(), testing::AllOf(testing::Ge(2), testing::Le(3)));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
}

TEST_F(Faults, ControllerBroken) {
  {
    auto ctl = Answer("");
    Outcome empty = Run("prwatch", {"-nwait", "0"});
    EXPECT_EQ(empty.out, "");
    EXPECT_EQ(empty.err, kSystemError);
    EXPECT_EQ(empty.exitCode, 255);
  }
  ForgetRun();
  std::filesystem::remove_all(remoteRequests_);
  Outcome noDir = Run("prwatch", {"-server", "ctlhost", "-nwait", "0"});
  EXPECT_THAT(noDir.err, EndsWith(kUnreachable));
  EXPECT_EQ(noDir.exitCode, 255);
  EXPECT_EQ(Fetches(), 0);
}

// SIGINT, SIGTERM and SIGHUP while the client waits between polls, while
// its request is being sent and while a reply is being fetched.
class Interrupted : public Faults, public testing::WithParamInterface<int> {};

TEST_P(Interrupted, EndsTheCopyRemovesEverythingAndDiesOfTheSignal) {
  const int sig = GetParam();
  const struct {
    const char* during;
    std::vector<std::string> args;
    bool hangs;
  } phases[] = {
      {"the wait", {"-nwait", "30", "-ntries", "2"}, false},
      {"the send", {"-server", "ctlhost", "-nwait", "0"}, true},
      // To this host the request goes through /usr/bin/cp; the stub is the fetch.
      {"the fetch", {"-nwait", "0"}, true},
  };
  for (const auto& phase : phases) {
    SCOPED_TRACE(phase.during);
    ForgetRun();
    testutil::TempDir out;
    faults::Running client(testutil::Start(
        Client("prwatch", phase.args, {phase.hangs ? "FAULT=hang" : "FAULT="}), out.path()));
    std::vector<pid_t> stub;
    if (phase.hangs) {
      stub = StubPids();
      ASSERT_EQ(stub.size(), 2u) << "the copy did not start";
    } else {
      ASSERT_TRUE(faults::WaitFor(
          [&] {
            return area_.Requests(area_.requests()).size() == 1 &&
                   faults::ChildrenOf(client.pid()).empty();
          },
          Millis(10000)))
          << "the request was not sent";
    }
    kill(client.pid(), sig);
    auto t0 = std::chrono::steady_clock::now();
    Outcome o = client.Finish(out.path());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_EQ(o.exitCode, -sig);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
    for (pid_t p : stub) EXPECT_TRUE(faults::AwaitGone(p, Millis(3000))) << "left running: " << p;
    EXPECT_THAT(testutil::ListDir(area_.spool()), IsEmpty());
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupted, testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const testing::TestParamInfo<int>& info) {
                           return std::string(sigabbrev_np(info.param));
                         });

TEST_F(Faults, CopyIgnoringTheSignalsIsKilled) {
  testutil::TempDir out;
  faults::Running client(
      testutil::Start(Client("prwatch", {"-nwait", "0"}, {"FAULT=stubborn"}), out.path()));
  std::vector<pid_t> stub = StubPids();
  ASSERT_EQ(stub.size(), 2u);
  kill(client.pid(), SIGINT);
  Outcome o = client.Finish(out.path());
  EXPECT_EQ(o.exitCode, -SIGINT);
  for (pid_t p : stub) EXPECT_TRUE(faults::AwaitGone(p, Millis(3000))) << "left running: " << p;
}

TEST_F(Faults, LinkPlantedAtTheReplyPathWritesNothingThrough) {
  // The scratch directory is shared as on a workstation; another user reads
  // the reply name from the request and plants a link under it.
  chmod(area_.spool().c_str(), 01777);
  const std::string precious = area_ / "precious";
  testutil::WriteFile(precious, "precious\n");
  std::optional<faults::User> other = faults::Nobody();
  std::string planted;
  bool plantedOk = false;
  testutil::TestController ctl(area_.requests(), [&](const SeenRequest& req, std::string* out) {
    planted = area_.spool() + "/" + req.reply;
    auto plant = [&] { return symlink(precious.c_str(), planted.c_str()) == 0; };
    plantedOk = other ? faults::AsUser(*other, plant) : plant();
    *out = "0\nanswer\n";
    return true;
  });
  Outcome o = Run("prwatch", {"-nwait", "0"});
  EXPECT_TRUE(plantedOk);
  EXPECT_EQ(o.out, "answer\n");
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_EQ(testutil::ReadFile(precious), "precious\n");
  struct stat st;
  EXPECT_TRUE(lstat(planted.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) << "the link was removed";
  unlink(planted.c_str());
}

TEST_F(Faults, HostNamesThatAreNoPlainNamesRunNothing) {
  const std::string owned = area_ / "owned";
  for (const std::string host :
       {"ctlhost;touch owned", "`touch owned`", "$(touch owned)", "ctl host", " ", "", "a\tb",
        "ctlhost:/tmp", "a|b", "a>owned"}) {
    for (const char* program : {"prwatch", "prbay"}) {
      Outcome o = Run(program, {"-server", host, "-nwait", "0"});
      EXPECT_EQ(o.err, kUnreachable) << program << " [" << host << "]";
      EXPECT_EQ(o.exitCode, 255);
    }
  }
  for (const std::string host : {"-oProxyCommand=touch_owned", "-l", "`touch_owned`"}) {
    area_.WriteConf(host, area_.requests() + "/");
    Outcome o = Run("prwatch", {"-nwait", "0"});
    EXPECT_EQ(o.err, kUnreachable) << host;
    EXPECT_EQ(o.exitCode, 255);
  }
  // Too long, dashed or missing on the command line: refused as options.
  area_.WriteConf(testutil::HostName(), area_.requests() + "/");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-server", std::string(300, 'h')}, {"-server", "-oX"}, {"-server"}}) {
    Outcome o = Run("prwatch", args);
    EXPECT_EQ(o.out, "prwatch: illegal option \n") << args.back().substr(0, 10);
    EXPECT_EQ(o.exitCode, 255);
  }
  // Too long in the configuration: the configuration is refused.
  area_.WriteConf(std::string(300, 'h'), area_.requests() + "/");
  Outcome tooLong = Run("prwatch", {"-nwait", "0"});
  EXPECT_EQ(tooLong.err, "Error opening configuration file: cconf\n");
  EXPECT_EQ(tooLong.exitCode, 255);

  EXPECT_THAT(Calls(), IsEmpty());
  EXPECT_FALSE(testutil::Exists(owned));
  EXPECT_FALSE(testutil::Exists(area_ / "touch_owned"));
  EXPECT_THAT(testutil::ListDir(area_.requests()), IsEmpty());
  EXPECT_THAT(testutil::ListDir(remoteRequests_), IsEmpty());
}

TEST_F(Faults, OddStatusLinesAndReplyEnds) {
  const struct {
    std::string reply, out;
    int exitCode;
  } cases[] = {
      {"\ntext\n", "text\n", 0},
      {"busy\ntext\n", "text\n", 0},
      {"-3\n", "", 253},
      {"2147483648\n", "", 255},  // clamped to the largest int
      {"3\r\ntext\r\n", "text\r\n", 3},
      {"\r\n", "", 0},
      {"  +4 jobs\ntext\n", "text\n", 4},
      {"7", "", 7},
      {"0\nno final newline", "no final newline", 0},
      {std::string("1\nnul\0inside", 12), std::string("nul\0inside", 10), 1},
  };
  for (const auto& c : cases) {
    auto ctl = Answer(c.reply);
    Outcome o = Run("prwatch", {"-nwait", "0"});
    EXPECT_EQ(o.out, c.out) << c.reply;
    EXPECT_EQ(o.err, "") << c.reply;
    EXPECT_EQ(o.exitCode, c.exitCode) << c.reply;
  }
}

}  // namespace
