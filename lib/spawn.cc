// Runs a command directly, without a shell: no string that reaches a
// command is ever interpreted. The command gets a process group of its own
// so that an interrupt ends it together with anything it started.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "interrupt.h"
#include "prclient.h"

extern char** environ;

namespace prclient {
namespace {

constexpr long kGraceNanos = 500L * 1000 * 1000;
// SIGCHLD may go to another thread of a threaded caller; looking again now
// and then keeps such a caller from waiting forever.
constexpr long kRecheckNanos = 10L * 1000 * 1000;

class SpawnActions {
 public:
  SpawnActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
  ~SpawnActions() {
    if (ok_) posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  bool Discard(int fd) {
    return ok_ && posix_spawn_file_actions_addopen(&actions_, fd, "/dev/null",
                                                   O_WRONLY, 0) == 0;
  }
  bool ok() const { return ok_; }
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
  bool ok_;
};

class SpawnAttr {
 public:
  SpawnAttr() {
    ok_ = posix_spawnattr_init(&attr_) == 0;
    sigset_t none;
    sigemptyset(&none);
    // The command starts with no signal blocked, whatever the caller blocked
    // for its own waits, and in a process group of its own.
    ok_ = ok_ && posix_spawnattr_setsigmask(&attr_, &none) == 0 &&
          posix_spawnattr_setpgroup(&attr_, 0) == 0 &&
          posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK |
                                               POSIX_SPAWN_SETPGROUP) == 0;
  }
  ~SpawnAttr() { posix_spawnattr_destroy(&attr_); }
  SpawnAttr(const SpawnAttr&) = delete;
  SpawnAttr& operator=(const SpawnAttr&) = delete;
  bool ok() const { return ok_; }
  const posix_spawnattr_t* get() const { return &attr_; }

 private:
  posix_spawnattr_t attr_;
  bool ok_;
};

// Blocks SIGCHLD from before the spawn until the child is reaped, so the
// wait for it cannot miss its end.
class ChildSignalBlock {
 public:
  ChildSignalBlock() {
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &chld, &saved_);
  }
  ~ChildSignalBlock() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  ChildSignalBlock(const ChildSignalBlock&) = delete;
  ChildSignalBlock& operator=(const ChildSignalBlock&) = delete;

 private:
  sigset_t saved_;
};

// Reaps `pid` if it has ended: true with its status, false while it runs.
bool Reaped(pid_t pid, int* status) {
  for (;;) {
    pid_t r = ::waitpid(pid, status, WNOHANG);
    if (r == pid) return true;
    if (r == 0) return false;
    if (errno != EINTR) {
      *status = -1;  // lost track of it: someone else reaped it
      return true;
    }
  }
}

// Ends the command's whole process group, gently first.
void EndChild(pid_t pid) {
  ::kill(-pid, SIGTERM);
  int status = 0;
  const timespec grace{0, kGraceNanos};
  for (int round = 0; !Reaped(pid, &status); ++round) {
    if (round >= 4) ::kill(-pid, SIGKILL);
    detail::WaitForSignal(true, &grace);
  }
}

}  // namespace

std::string CommandText(const Command& cmd) {
  std::string text;
  for (const std::string& word : cmd.argv) {
    if (!text.empty()) text += ' ';
    text += word;
  }
  if (cmd.discardStdout) text += cmd.discardStderr ? " 1>/dev/null 2>&1" : " 1>/dev/null";
  else if (cmd.discardStderr) text += " 2>/dev/null ";
  return text;
}

int RunCommand(const Command& cmd) {
  if (cmd.argv.empty() || detail::PendingInterrupt()) return -1;

  SpawnActions actions;
  if (!actions.ok() || (cmd.discardStdout && !actions.Discard(STDOUT_FILENO)) ||
      (cmd.discardStderr && !actions.Discard(STDERR_FILENO)))
    return -1;
  SpawnAttr attr;
  if (!attr.ok()) return -1;

  std::vector<char*> argv;
  argv.reserve(cmd.argv.size() + 1);
  for (const std::string& word : cmd.argv) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);

  ChildSignalBlock block;
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], actions.get(), attr.get(), argv.data(), environ) != 0)
    return -1;

  int status = 0;
  const timespec recheck{0, kRecheckNanos};
  while (!Reaped(pid, &status)) {
    int sig = detail::WaitForSignal(true, &recheck);
    if (sig != 0 && sig != SIGCHLD) {
      EndChild(pid);
      return -1;
    }
  }
  return (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) ? 0 : -1;
}

}  // namespace prclient
