// The remote branch over the platform's own rcp and rsh against a real
// in.rshd, run by an inetd of the test's own on 127.0.0.1 with the stand-in
// controller behind it, named "localhost" so that the client takes it for
// another host.
//
// rcp reaches rshd on the shell service's port, 514, and cannot be told
// otherwise, so the test runs in network and mount namespaces of its own:
// its inetd takes port 514 on a loopback nobody else sees, its pid file
// lands on a private /run, and the .rhosts that lets root in from
// localhost lies in a private home directory mounted over root's. Nothing
// of the machine changes, and everything goes with the test process.
//
// What in.rshd wants: a privileged source port (rcp and rsh are setuid
// root, and the test runs as root anyway), the client's address resolving
// to a name (127.0.0.1 is localhost in /etc/hosts), and PAM's pam_rhosts
// accepting the user: for root only ~/.rhosts counts, hosts.equiv never
// does, and the file must not be writable by others.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <net/if.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "fault_util.h"

namespace {

using faults::Millis;
using testing::EndsWith;
using testing::HasSubstr;
using testutil::Outcome;

const char kInetd[] = "/usr/sbin/inetd";
const char kRshd[] = "/usr/sbin/in.rshd";
const char kRcp[] = "/usr/bin/rcp";
const char kInstall[] =
    "needs rsh-client, rsh-server and openbsd-inetd; run tools/deps as root to install them";

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Brings up the loopback of a fresh network namespace.
bool LoopbackUp() {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) return false;
  ifreq ifr{};
  std::strcpy(ifr.ifr_name, "lo");
  bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags |= IFF_UP;
  ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
  close(s);
  return ok;
}

// Whether something listens on 127.0.0.1:514 in this network namespace.
bool ShellPortListening() {
  return testutil::ReadFile("/proc/self/net/tcp").find("0100007F:0202 00000000:0000 0A") !=
         std::string::npos;
}

class RealRcp : public testing::Test {
 protected:
  // An rshd still serving when its inetd is stopped comes here to be reaped.
  static void SetUpTestSuite() { faults::BecomeSubreaper(); }
  void SetUp() override {
    for (const char* program : {kInetd, kRshd, kRcp})
      if (access(program, X_OK) != 0) GTEST_SKIP() << program << " missing: " << kInstall;
    if (!faults::Root()) GTEST_SKIP() << "needs root: in.rshd and its port are privileged";
    if (testutil::HostName() == "localhost")
      GTEST_SKIP() << "this host is called localhost: the client would copy locally";
    const passwd* root = getpwuid(0);
    ASSERT_NE(root, nullptr);
    rootHome_ = root->pw_dir;

    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0)
      GTEST_SKIP() << "cannot make private namespaces: " << Errno("unshare");
    ASSERT_TRUE(LoopbackUp()) << Errno("loopback");
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << Errno("mount /");
    ASSERT_EQ(mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=755"), 0)
        << Errno("mount /run");
    mounts_.push_back("/run");
    chmod(home_.path().c_str(), 0700);
    Rhosts("localhost root\n");
    ASSERT_EQ(mount(home_.path().c_str(), rootHome_.c_str(), nullptr, MS_BIND, nullptr), 0)
        << Errno("mount home");
    mounts_.push_back(rootHome_);

    testutil::WriteFile(conf_ / "inetd.conf",
                        std::string("127.0.0.1:shell stream tcp nowait root ") + kRshd +
                            " in.rshd\n");
    inetd_ = std::make_unique<faults::Running>(
        testutil::Start({kInetd, {"-i", "-R", "1000", conf_ / "inetd.conf"}, "", {}, {}},
                        inetdOut_.path()));
    ASSERT_TRUE(faults::WaitFor(ShellPortListening, Millis(5000)))
        << "inetd does not listen: " << testutil::ReadFile(inetdOut_ / "stderr");

    area_.WriteConf("localhost", area_.requests() + "/");
    StartController();
    ready_ = true;
  }

  void TearDown() override {
    StopController();
    StopInetd();
    EXPECT_TRUE(faults::ReapAll(Millis(5000))) << "processes left running";
    for (auto m = mounts_.rbegin(); m != mounts_.rend(); ++m) umount2(m->c_str(), MNT_DETACH);
    if (ready_) {
      EXPECT_EQ(testutil::ListDir(area_.spool()), std::vector<std::string>{})
          << "left in the scratch directory";
    }
  }

  void Rhosts(const std::string& text) {
    const std::string path = home_ / ".rhosts";
    testutil::WriteFile(path, text);
    chmod(path.c_str(), 0600);
  }
  void StartController() {
    controller_ = std::make_unique<faults::Running>(testutil::Start(
        {CONTROLLER_BIN, {"--dir", area_.requests(), "--state", SAMPLE_STATE, "--quiet"}, "", {},
         {}},
        controllerOut_.path()));
    // Stopped before it takes its signals, it would die of the first.
    ASSERT_TRUE(faults::WaitFor(
        [&] { return testutil::ReadFile(controllerOut_ / "stderr").find("serving") != std::string::npos; },
        Millis(10000)));
  }
  void StopController() {
    if (!controller_) return;
    kill(controller_->pid(), SIGTERM);
    Outcome o = controller_->Finish(controllerOut_.path());
    EXPECT_EQ(o.exitCode, 0) << o.err;
    controller_.reset();
  }

  void StopInetd() {
    if (!inetd_) return;
    kill(inetd_->pid(), SIGTERM);
    inetd_->Finish(inetdOut_.path());
    inetd_.reset();
  }

  // The real rcp and nothing of the tests' stand-ins on the path.
  Outcome Run(std::vector<std::string> args) {
    return testutil::Run(area_.Client("prwatch", std::move(args), {"PATH=/usr/bin:/bin"}));
  }

  std::string rootHome_;
  std::vector<std::string> mounts_;
  testutil::TempDir home_, conf_, inetdOut_, controllerOut_;
  faults::Area area_;
  std::unique_ptr<faults::Running> inetd_, controller_;
  bool ready_ = false;
};

TEST_F(RealRcp, ListingsComeBackOverRcp) {
  Outcome all = Run({"-nwait", "0", "-ntries", "100"});
  EXPECT_EQ(all.err, "");
  EXPECT_EQ(all.exitCode, 0);
  EXPECT_THAT(all.out, testing::StartsWith("All jobs: 12\n"));

  Outcome one = Run({"-j", "meeting notes", "-l", "-nwait", "1", "-ntries", "10"});
  EXPECT_EQ(one.err, "");
  EXPECT_EQ(one.exitCode, 0);
  EXPECT_THAT(one.out, testing::StartsWith("Jobs matching name \"meeting notes\": 1\n"));
  EXPECT_THAT(one.out, HasSubstr("1042"));

  Outcome none = Run({"-j", "job 7", "-nwait", "0", "-ntries", "100"});
  EXPECT_EQ(none.out, "No jobs matching name \"job 7\"\n");
  EXPECT_EQ(none.exitCode, 1);
}

TEST_F(RealRcp, FailuresOverRcp) {
  // The request directory missing on the controller: rcp says why.
  area_.WriteConf("localhost", area_ / "missing/");
  Outcome noDir = Run({"-nwait", "0"});
  EXPECT_THAT(noDir.err, HasSubstr("missing/spr"));
  EXPECT_THAT(noDir.err, EndsWith("Server or directory unreachable\n"));
  EXPECT_EQ(noDir.exitCode, 255);

  // The controller down.
  area_.WriteConf("localhost", area_.requests() + "/");
  StopController();
  Outcome down = Run({"-nwait", "0", "-ntries", "2"});
  EXPECT_EQ(down.err, "Server not responding\n");
  EXPECT_EQ(down.exitCode, 255);

  // rshd refuses a user its host does not trust.
  Rhosts("");
  Outcome refused = Run({"-nwait", "0"});
  EXPECT_THAT(refused.err, HasSubstr("Permission denied"));
  EXPECT_THAT(refused.err, EndsWith("Server or directory unreachable\n"));
  EXPECT_EQ(refused.exitCode, 255);
  // (With nobody on the shell port at all rcp retries for half a minute
  // before it gives up: too slow to wait for here.)
}

TEST_F(RealRcp, InterruptEndsARealCopy) {
  // A pipe under the reply name holds the controller's side of the fetch
  // in its open, so the client's rcp waits until it is ended.
  StopController();
  const std::string requests = area_.requests();
  std::string fifo;
  testutil::TestController ctl(requests, [&](const testutil::SeenRequest& req, std::string*) {
    fifo = requests + "/" + req.reply;
    mkfifo(fifo.c_str(), 0644);
    return false;
  });
  testutil::TempDir out;
  faults::Running client(testutil::Start(
      area_.Client("prwatch", {"-nwait", "0", "-ntries", "5"}, {"PATH=/usr/bin:/bin"}),
      out.path()));
  std::vector<pid_t> copies;
  ASSERT_TRUE(faults::WaitFor(
      [&] {
        copies = faults::ChildrenOf(client.pid());
        return ctl.answered() == 0 && !fifo.empty() && !copies.empty();
      },
      Millis(10000)));
  std::this_thread::sleep_for(Millis(300));  // well inside the copy
  copies = faults::ChildrenOf(client.pid());
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(testutil::ReadFile("/proc/" + std::to_string(copies[0]) + "/cmdline").substr(0, 4),
            std::string("rcp\0", 4));
  kill(client.pid(), SIGINT);
  Outcome o = client.Finish(out.path());
  EXPECT_EQ(o.exitCode, -SIGINT);
  for (pid_t p : copies) EXPECT_TRUE(faults::AwaitGone(p, Millis(3000))) << "left running: " << p;
  // Let the controller's side go: it finds the pipe empty and its client gone.
  int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  if (fd >= 0) close(fd);
}

}  // namespace
