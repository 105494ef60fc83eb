// The clients built for scp and ssh against a real sshd of the test's own
// (tools/private-sshd), with prcontroller behind it under the host alias
// "ctl". ssh reads the home directory of the password database, not $HOME:
// private namespaces give root the test's home and a plain /bin/sh (a login
// runs the shell's start-up), and sshd its /run and its loopback. Without a
// terminal, prompts fail as in cron.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "e2e_util.h"
#include "prclient.h"

namespace {

using namespace testutil;

// sshd's sessions still open when it is stopped are reaped as the area's.
class RealSsh : public AreaTest {
 protected:
  void SetUp() override {
    if (access("/usr/sbin/sshd", X_OK) != 0)
      GTEST_SKIP() << "sshd missing: run tools/deps as root to install openssh-server";
    if (geteuid() != 0) GTEST_SKIP() << "needs root: sshd serves its logins as root";
    if (!Isolate()) GTEST_SKIP() << "no private namespaces: " << strerror(errno);
    // The first entry for a name or a user id is the one that counts.
    WriteFile(home_ / "passwd",
              "root:x:0:0:root:" + home_.path() + ":/bin/sh\n" + ReadFile("/etc/passwd"));
    ASSERT_EQ(mount((home_ / "passwd").c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr), 0);
    mkdir((home_ / ".ssh").c_str(), 0700);
    const std::vector<std::string> args{"-qt", "ed25519", "-N", "", "-f", home_ / ".ssh/id"};
    ASSERT_EQ(RunProgram({"/usr/bin/ssh-keygen", args, "", {}, {}}).exitCode, 0);
    // On a loopback of its own, sshd has the standard port to itself.
    sshd_.emplace(Launch{TOOLS_DIR "/private-sshd", {home_ / "sshd"}, "", {}, {}});
    // sshd writes its pid file once it listens.
    ASSERT_TRUE(WaitFor([&] { return Exists(home_ / "sshd/sshd.pid"); })) << "sshd does not listen: " << sshd_->err();
    WriteFile(home_ / ".ssh/config", "Host ctl\nHostName 127.0.0.1\nIdentityFile " +
                                         home_ / ".ssh/id" + "\nUserKnownHostsFile " +
                                         home_ / "known" + "\nGlobalKnownHostsFile /dev/null\n");
    WriteFile(home_ / "known", knownHost_ = "127.0.0.1 " + ReadFile(home_ / "sshd/hostkey.pub"));
    WriteFile(home_ / "sshd/authorized_keys", ReadFile(home_ / ".ssh/id.pub"));
    area_.WriteConf("ctl", area_.requests() + "/");
  }

  void TearDown() override {
    if (sshd_) sshd_->Finish(SIGTERM);
    umount2("/etc/passwd", MNT_DETACH);  // its file goes with the home directory
    AreaTest::TearDown();
    EXPECT_THAT(Area::Requests(area_.requests()), testing::IsEmpty()) << "left remote";
  }

  // The real scp, and no helper program to ask what a terminal cannot.
  Launch Client(const char* program, std::vector<std::string> args) {
    return area_.Client(E2E_SSH_BIN "/" + std::string(program), std::move(args),
                        {"PATH=/usr/bin:/bin", "SSH_ASKPASS_REQUIRE=never"});
  }

  TempDir home_;
  std::string knownHost_;
  std::optional<Running> sshd_;
};

TEST_F(RealSsh, AnswersAndRemovalOverSsh) {
  Controller controller({"--dir", area_.requests(), "--state", SAMPLE_STATE});
  const auto watch = RunProgram(Client("prwatch", {"-j", "meeting notes", "-l", "-nwait", "1"}));
  const auto bay = RunProgram(Client("prbay", {"-p", "lp1"}));
  // Errors come first: each starts with the answer only when there are none.
  EXPECT_THAT(watch.err + watch.out, testing::StartsWith("Jobs matching name \"meeting notes\""));
  EXPECT_THAT(bay.err + bay.out, testing::StartsWith("Queues matching \"lp1\": 1\n"));
  EXPECT_EQ(std::make_pair(watch.exitCode, bay.exitCode), std::make_pair(0, 0));
  WriteFile(area_.requests() + "/sprGONE", "");
  prclient::RemoveRemoteFile("ctl", (area_.requests() + "/").c_str(), "sprGONE");
  EXPECT_FALSE(Exists(area_.requests() + "/sprGONE"));
}

TEST_F(RealSsh, FailuresLeaveNothingBehind) {
  const std::string key = ReadFile(home_ / ".ssh/id.pub"), dir = area_.requests() + "/";
  // A remote shell would make "ran" in the home directory; ${IFS} is a blank.
  const std::string odd = dir + "a;touch${IFS}ran;$(touch${IFS}ran)`touch${IFS}ran`/";
  mkdir(odd.c_str(), 0755);
  const struct { std::string knownHosts, keys, requestDir, says; } cases[] = {
      {"", key, dir, "Host key verification failed"},
      {knownHost_, "", dir, "Permission denied"},
      {knownHost_, key, odd, "\n"},  // refused before anything runs
  };
  for (const auto& c : cases) {
    WriteFile(home_ / "known", c.knownHosts);
    WriteFile(home_ / "sshd/authorized_keys", c.keys);
    area_.WriteConf("ctl", c.requestDir);
    const auto o = RunProgram(Client("prwatch", {"-nwait", "0", "-ntries", "1"}));
    EXPECT_THAT(o.err, testing::AllOf(testing::HasSubstr(c.says),
                                      testing::EndsWith("Server or directory unreachable\n")));
    EXPECT_EQ(o.exitCode, 255) << c.says;
    EXPECT_FALSE(Exists(home_ / "ran"));
    EXPECT_THAT(ListDir(odd), testing::IsEmpty());
  }
}

TEST_F(RealSsh, InterruptEndsARealCopy) {
  ExpectInterruptInFetchEndsIt(Client("prwatch", {"-nwait", "0", "-ntries", "5"}), area_.requests());
}

}  // namespace
