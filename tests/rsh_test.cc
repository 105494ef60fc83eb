// The remote branch over the platform's own rcp and rsh against a real
// in.rshd, run by an inetd of the test's own on 127.0.0.1
// (tools/private-rshd) with the stand-in controller behind it, named
// "localhost" so that the client takes it for another host.
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

#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "e2e_util.h"

namespace {

using namespace testutil;

using testing::AllOf;
using testing::EndsWith;
using testing::HasSubstr;

const char kInetd[] = "/usr/sbin/inetd";
const char kRshd[] = "/usr/sbin/in.rshd";

// The namespaces and their mounts go with the test process; an rshd still
// serving when its inetd is stopped is reaped as the area's.
class RealRcp : public AreaTest {
 protected:
  void SetUp() override {
    for (const char* program : {kInetd, kRshd, "/usr/bin/rcp"})
      if (access(program, X_OK) != 0)
        GTEST_SKIP() << program << " missing: needs rsh-client, rsh-server and openbsd-inetd; "
                                   "run tools/deps as root to install them";
    if (geteuid() != 0) GTEST_SKIP() << "needs root: in.rshd and its port are privileged";
    if (HostName() == "localhost")
      GTEST_SKIP() << "this host is called localhost: the client would copy locally";
    if (!Isolate()) GTEST_SKIP() << "no private namespaces: " << std::strerror(errno);
    chmod(home_.path().c_str(), 0700);
    WriteFile(home_ / ".rhosts", "localhost root\n");
    chmod((home_ / ".rhosts").c_str(), 0600);
    ASSERT_EQ(mount(home_.path().c_str(), getpwuid(0)->pw_dir, nullptr, MS_BIND, nullptr), 0)
        << "mount home: " << std::strerror(errno);
    mounted_ = true;
    inetd_.emplace(Launch{TOOLS_DIR "/private-rshd", {area_ / "inetd"}, "", {}, {}});
    const auto listening = [] {  // on 127.0.0.1:514, in this network namespace
      return ReadFile("/proc/self/net/tcp").find("0100007F:0202 00000000:0000 0A") != std::string::npos;
    };
    ASSERT_TRUE(WaitFor(listening)) << "inetd does not listen: " << inetd_->err();
    area_.WriteConf("localhost", area_.requests() + "/");
  }

  void TearDown() override {
    if (inetd_) inetd_->Finish(SIGTERM);
    // The next test of this process unshares from these namespaces: a home
    // left mounted from a folder now gone could not be mounted over.
    if (mounted_) umount2(getpwuid(0)->pw_dir, MNT_DETACH), umount2("/run", MNT_DETACH);
    AreaTest::TearDown();
  }

  // The real rcp and nothing of the tests' stand-ins on the path.
  Launch Client(std::vector<std::string> args) {
    return area_.Client("prwatch", std::move(args), {"PATH=/usr/bin:/bin"});
  }

  TempDir home_;
  std::optional<Running> inetd_;
  bool mounted_ = false;
};

TEST_F(RealRcp, ListingsComeBackOverRcp) {
  Controller controller({"--dir", area_.requests(), "--state", SAMPLE_STATE, "--quiet"});
  const Outcome one = RunProgram(Client({"-j", "meeting notes", "-l", "-nwait", "1", "-ntries", "10"}));
  EXPECT_EQ(one.err, "");
  EXPECT_EQ(one.exitCode, 0);
  EXPECT_THAT(one.out, AllOf(testing::StartsWith("Jobs matching name \"meeting notes\": 1\n"),
                             HasSubstr("1042")));
}

TEST_F(RealRcp, FailuresOverRcp) {
  // Nobody answers: the polls run out.
  const Outcome down = RunProgram(Client({"-nwait", "0", "-ntries", "2"}));
  EXPECT_EQ(down, (Outcome{"", "Server not responding\n", 255}));
  // The request directory missing on the controller: rcp says why.
  area_.WriteConf("localhost", area_ / "missing/");
  const Outcome noDir = RunProgram(Client({"-nwait", "0"}));
  EXPECT_THAT(noDir.err,
              AllOf(HasSubstr("missing/spr"), EndsWith("Server or directory unreachable\n")));
  EXPECT_EQ(noDir.exitCode, 255);
}

TEST_F(RealRcp, InterruptEndsARealCopy) {
  ExpectInterruptInFetchEndsIt(Client({"-nwait", "0", "-ntries", "5"}), area_.requests());
}

}  // namespace
