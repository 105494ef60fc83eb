#include <gtest/gtest.h>

#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <utility>

#include "prclient.h"
#include "test_util.h"

namespace {

using namespace testutil;

using prclient::CommandText;

std::string Text(const std::optional<prclient::Command>& cmd) {
  return cmd ? CommandText(*cmd) : "<refused>";
}

TEST(TransportCommands, ReadAsTheClassicCommandLines) {
  const std::string self = HostName();
  const char* here = self.c_str();
  const std::pair<std::optional<prclient::Command>, const char*> cases[] = {
      {prclient::TransportToCommand("ctl", "/q/", "req1", "/tmp/x"), "rcp /tmp/x ctl:/q/req1 1>/dev/null"},
      {prclient::TransportToCommand(here, "/q/", "req1", "/tmp/x"), "/usr/bin/cp /tmp/x /q/req1 1>/dev/null"},
      {prclient::TransportFromCommand("ctl", "/q/", "rep1", "/tmp/y"), "rcp ctl:/q/rep1 /tmp/y 1>/dev/null 2>&1"},
      {prclient::TransportFromCommand(here, "/q/", "rep1", "/tmp/y"), "cp /dev/stdin /tmp/y </q/rep1 1>/dev/null 2>&1"},
      {prclient::RemoveRemoteFileCommand("ctl", "/q/", "req1"), "rsh ctl /usr/bin/rm -f /q/req1 2>/dev/null "},
      {prclient::RemoveRemoteFileCommand(here, "/q/", "req1"), "/usr/bin/rm -f /q/req1 2>/dev/null "},
      // The directory is joined with no separator of its own.
      {prclient::TransportToCommand("ctl", "/q", "req1", "/tmp/x"), "rcp /tmp/x ctl:/qreq1 1>/dev/null"},
  };
  for (const auto& [cmd, text] : cases) EXPECT_EQ(Text(cmd), text);
  // Another case or a domain suffix is another host.
  std::string upper = self;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& other : {upper, self + ".example"})
    if (other != self) { EXPECT_EQ(prclient::TransportToCommand(other.c_str(), "/q/", "r", "/x")->argv[0], "rcp"); }
}

TEST(TransportCommands, EveryInsertedStringIsOneWord) {
  // Blanks around configured values were never part of the word.
  auto cmd = prclient::TransportToCommand("  ctl", "  /q/ ", "req1", "/tmp/x");
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->argv, (std::vector<std::string>{"rcp", "/tmp/x", "ctl:/q/req1"}));
  // A local directory with blanks and shell characters inside stays one word.
  auto local = prclient::TransportFromCommand(HostName().c_str(), "/q dir/$(x);`y`/", "rep1", "/tmp/y");
  ASSERT_TRUE(local);
  EXPECT_EQ(local->argv, (std::vector<std::string>{"cp", "/dev/stdin", "/tmp/y"}));
  EXPECT_EQ(local->input, "/q dir/$(x);`y`/rep1");
}

TEST(TransportCommands, UnsafeHostsAndPathsAreRefused) {
  const std::string hosts[] = {"ctl;touch /tmp/x", "x;touch /tmp/y #", "`id`", "$(id)",
                               "a b", "-oProxy", "", "ctl/x", std::string(300, ';')};
  for (const std::string& s : hosts) {
    const char* host = s.c_str();
    EXPECT_FALSE(prclient::TransportToCommand(host, "/q/", "r", "/tmp/x")) << host;
    EXPECT_FALSE(prclient::TransportFromCommand(host, "/q/", "r", "/tmp/x")) << host;
    EXPECT_FALSE(prclient::RemoveRemoteFileCommand(host, "/q/", "r")) << host;
  }
  // Words that a command would take as options.
  EXPECT_FALSE(prclient::TransportToCommand("ctl", "/q/", "r", "-rf"));
  EXPECT_FALSE(prclient::TransportToCommand(HostName().c_str(), "-q/", "r", "/x"));
  // A remote path is read by the remote shell.
  EXPECT_FALSE(prclient::TransportToCommand("ctl", "/q;rm -rf ~/", "r", "/tmp/x"));
  EXPECT_FALSE(prclient::RemoveRemoteFileCommand("ctl", "/q/`id`/", "r"));
}

// A fetch first removes what stands at the local path, so a stale reply is
// never taken for the one it waits for; a copy the checks refuse fails, and
// so does one of a link or a FIFO planted under the reply's name. A request
// sent under the strictest umask is readable by the controller's user.
TEST(Transport, StaleFilesRefusedCopiesAndModes) {
  TempDir local, ctl;
  const std::string self = HostName();
  WriteFile(local / "rep", "stale");
  WriteFile(local / "secret", "only mine");
  symlink((local / "secret").c_str(), (ctl / "link").c_str());
  mkfifo((ctl / "fifo").c_str(), 0666);
  for (const char* name : {"missing", "link", "fifo"}) {
    EXPECT_EQ(prclient::TransportFrom(self.c_str(), ctl.slash().c_str(), name, (local / "rep").c_str(), 1), -1);
    EXPECT_FALSE(Exists(local / "rep")) << name;
  }
  EXPECT_EQ(prclient::TransportTo("a b", "/q/", "r", (local / "rep").c_str(), 1), -1);
  const mode_t saved = umask(077);
  chmod((local / "secret").c_str(), 0644);
  EXPECT_EQ(prclient::TransportTo(self.c_str(), ctl.slash().c_str(), "req", (local / "secret").c_str(), 1), 0);
  umask(saved);
  EXPECT_EQ(Mode(ctl / "req"), S_IFREG | 0644u);
  EXPECT_EQ(prclient::TransportFrom(self.c_str(), ctl.slash().c_str(), "req", (local / "rep").c_str(), 1), 0);
  EXPECT_EQ(ReadFile(local / "rep"), "only mine");
}

TEST(RunCommand, StatusesRedirectionsAndMemory) {
  // The command reports where its output goes: "test" fails unless it is
  // the null device.
  const std::string to = "test $(readlink /proc/$$/fd/";
  const struct {
    prclient::Command cmd;
    int result;
  } cases[] = {
      {{{"true"}}, 0}, {{{"false"}}, -1}, {{{"no-such-program-here"}}, -1}, {{{"sh", "-c", "kill -9 $$"}}, -1},
      {{}, -1},
      {{{"sh", "-c", to + "1) = /dev/null"}, true, false}, 0},
      {{{"sh", "-c", to + "2) = /dev/null"}, false, true}, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(prclient::RunCommand(c.cmd), c.result) << Text(c.cmd);
  // Waiting for a command takes no CPU, and nothing of it stays in memory.
  const std::clock_t cpu = std::clock();
  EXPECT_EQ(prclient::RunCommand({{"sleep", "0.3"}}), 0);
  EXPECT_LT(std::clock() - cpu, CLOCKS_PER_SEC / 10);
  const prclient::Command discard{{"true"}, true, true};
  prclient::RunCommand(discard);
  const long before = static_cast<long>(mallinfo2().uordblks);
  for (int i = 0; i < 20; ++i) prclient::RunCommand(discard);
  EXPECT_LT(static_cast<long>(mallinfo2().uordblks) - before, 1000);
}

// A copy writes no file past the largest reply, however large (and however
// quick to copy: sparse) its source; it fails. One that runs past the time
// limit is ended with what it started and what it left behind, gently
// first: here the shell ignores SIGTERM but ends once its child dies of it,
// half a second later, through which the client sleeps rather than spins.
TEST(RunCommand, SizeAndTimeLimitsEndTheCopyAndWhatItLeft) {
  TempDir dir;
  WriteFile(dir / "big", "");
  ASSERT_EQ(truncate((dir / "big").c_str(), prclient::kMaxReply + 1), 0);
  EXPECT_EQ(prclient::RunCommand({{"cp", dir / "big", dir / "copy"}}), -1);
  struct stat st {};
  EXPECT_LE(stat((dir / "copy").c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0u,
            prclient::kMaxReply);
  const Scoped<int> limit(prclient::copyLimit, 1);
  const auto t0 = std::chrono::steady_clock::now();
  const std::clock_t cpu = std::clock();
  const char* script = "(sleep 30 & echo $! >\"$1\"); sleep 30 & trap '' TERM; wait; sleep 0.5";
  EXPECT_EQ(prclient::RunCommand({{"sh", "-c", script, "sh", dir / "orphan"}}), -1);
  EXPECT_LT(std::clock() - cpu, CLOCKS_PER_SEC / 10);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2500)) << "its child not ended";
  const pid_t orphan = std::stoi(ReadFile(dir / "orphan"));
  EXPECT_NE(kill(orphan, 0), 0) << "the orphan left running";
  if (kill(orphan, SIGKILL) == 0) waitpid(orphan, nullptr, 0);
}

}  // namespace
