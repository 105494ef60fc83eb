// Runs a command directly, without a shell: no string that reaches a
// command is ever interpreted. The command runs as a shell would run it: in
// the caller's process group, so that it can ask its questions on the
// terminal and the keys that interrupt the client reach it too.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "interrupt.h"
#include "posix_util.h"
#include "prclient.h"

extern char** environ;

namespace prclient {
namespace {

// Time an ended command and what it started get to go before SIGKILL.
constexpr double kGraceSeconds = 2.0;
constexpr long kGraceStepNanos = 100L * 1000 * 1000;
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
  bool Input(int fd) {
    return ok_ && posix_spawn_file_actions_adddup2(&actions_, fd, STDIN_FILENO) == 0;
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
    // for its own waits. Signals the caller ignores stay ignored, as nohup
    // expects.
    ok_ = ok_ && posix_spawnattr_setsigmask(&attr_, &none) == 0 &&
          posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK) == 0;
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
// wait for it cannot miss its end. A client started with SIGCHLD ignored
// (some daemons leave it so to what they run) would have the kernel reap
// its commands before their status is read, every copy a failure though it
// did its work: for that time the signal gets its default action back. A
// caller's own handler is left alone.
class ChildSignalBlock {
 public:
  ChildSignalBlock() {
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &chld, &saved_);
    sigaction(SIGCHLD, nullptr, &savedAction_);
    reaping_ = savedAction_.sa_handler == SIG_IGN || (savedAction_.sa_flags & SA_NOCLDWAIT) != 0;
    if (reaping_) {
      struct sigaction dfl {};
      dfl.sa_handler = SIG_DFL;
      sigaction(SIGCHLD, &dfl, nullptr);
    }
  }
  ~ChildSignalBlock() {
    if (reaping_) sigaction(SIGCHLD, &savedAction_, nullptr);
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }
  ChildSignalBlock(const ChildSignalBlock&) = delete;
  ChildSignalBlock& operator=(const ChildSignalBlock&) = delete;

 private:
  sigset_t saved_;
  struct sigaction savedAction_ {};
  bool reaping_ = false;  // the kernel would reap the command
};

// While the command runs, what it leaves behind when it dies becomes our
// child: an ended command's children can then be found and ended too, and
// their pids cannot be reused before we reap them.
class Subreaper {
 public:
  Subreaper() {
#ifdef PR_SET_CHILD_SUBREAPER
    int was = 0;
    set_ = prctl(PR_GET_CHILD_SUBREAPER, &was) == 0 && was == 0 &&
           prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
#endif
  }
  ~Subreaper() {
#ifdef PR_SET_CHILD_SUBREAPER
    if (set_) prctl(PR_SET_CHILD_SUBREAPER, 0);
#endif
  }
  Subreaper(const Subreaper&) = delete;
  Subreaper& operator=(const Subreaper&) = delete;

 private:
  bool set_ = false;
};

// No file a command writes grows past the largest reply: a source that
// never ends (a link to /dev/zero) cannot fill the scratch file system.
class FileSizeLimit {
 public:
  FileSizeLimit() {
    ok_ = getrlimit(RLIMIT_FSIZE, &saved_) == 0;
    if (!ok_) return;
    rlimit lower = saved_;
    if (lower.rlim_cur == RLIM_INFINITY || lower.rlim_cur > kMaxReply)
      lower.rlim_cur = kMaxReply;
    ok_ = setrlimit(RLIMIT_FSIZE, &lower) == 0;
  }
  ~FileSizeLimit() {
    if (ok_) setrlimit(RLIMIT_FSIZE, &saved_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  bool ok_ = false;
};

// The mask a command is created under: the local copy's file in the
// controller's directory must be readable by the controller's user, whatever
// the client's own umask is.
class ScopedUmask {
 public:
  explicit ScopedUmask(int mask) : set_(mask >= 0) {
    if (set_) saved_ = ::umask(static_cast<mode_t>(mask));
  }
  ~ScopedUmask() {
    if (set_) ::umask(saved_);
  }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  bool set_;
  mode_t saved_ = 0;
};

// The command's input: a regular file, opened without following a link at
// its name and without waiting on a FIFO, so a name another user planted
// can make the copy neither read some other file nor hang.
Fd OpenInput(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      ::fcntl(fd.get(), F_SETFL, 0) != 0)
    return Fd();
  return fd;
}

// The pids /proc lists as children of `pid`, or none when /proc is not
// this process's view of pids (another pid namespace's, or missing).
std::vector<pid_t> ChildrenOf(pid_t pid) {
  static const bool procIsOurs = [] {
    char self[32] = "";
    const ssize_t n = ::readlink("/proc/self", self, sizeof self - 1);
    return n > 0 && std::string(self, static_cast<std::size_t>(n)) ==
                        std::to_string(::getpid());
  }();
  std::vector<pid_t> children;
  if (!procIsOurs) return children;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task/";
  Dir dir(AT_FDCWD, tasks.c_str());
  if (!dir) return children;
  while (const dirent* task = dir.Next()) {
    if (task->d_name[0] == '.') continue;
    std::ifstream in(tasks + task->d_name + "/children");
    for (pid_t child; in >> child;) children.push_back(child);
  }
  return children;
}

// `roots` and everything below them.
std::vector<pid_t> Tree(std::vector<pid_t> roots) {
  for (std::size_t i = 0; i < roots.size(); ++i)
    for (pid_t child : ChildrenOf(roots[i]))
      if (std::find(roots.begin(), roots.end(), child) == roots.end())
        roots.push_back(child);
  return roots;
}

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

// Ends the command `pid` (unless reaped already) and whatever it started,
// gently first, then by SIGKILL once the grace time is over. `before` are
// the children we had before it: the others are what it left behind.
void EndCommand(pid_t pid, bool reaped, const std::vector<pid_t>& before) {
  const timespec killAt = detail::After(kGraceSeconds);
  const timespec giveUpAt = detail::After(2 * kGraceSeconds);
  std::vector<pid_t> mine, asked;  // asked: sent SIGTERM already
  for (;;) {
    int status = 0;
    if (!reaped) reaped = Reaped(pid, &status);
    mine.clear();
    if (!reaped) mine.push_back(pid);
    for (pid_t child : ChildrenOf(::getpid()))
      if (child != pid && std::find(before.begin(), before.end(), child) == before.end() &&
          !Reaped(child, &status))
        mine.push_back(child);
    if (mine.empty() || detail::Passed(giveUpAt)) return;  // gone, or unkillable
    // SIGTERM once to each, so that a command cleaning up on it is not cut
    // short by a second one; SIGKILL to all once the grace time is over.
    const bool late = detail::Passed(killAt);
    for (pid_t p : Tree(mine)) {
      if (late) {
        ::kill(p, SIGKILL);
      } else if (std::find(asked.begin(), asked.end(), p) == asked.end()) {
        ::kill(p, SIGTERM);
        asked.push_back(p);
      }
    }
    const timespec step{0, kGraceStepNanos};
    detail::WaitForSignal(true, &step);
  }
}

// What a shell says when it cannot run `name`.
void SayWhyNotStarted(const std::string& name, int error) {
  const std::string why =
      name + ": " + (error == ENOENT ? "not found" : std::strerror(error)) + "\n";
  std::string ignored;
  WriteAll(STDERR_FILENO, why, &ignored);
}

}  // namespace

std::string CommandText(const Command& cmd) {
  std::string text;
  for (const std::string& word : cmd.argv) {
    if (!text.empty()) text += ' ';
    text += word;
  }
  if (!cmd.input.empty()) text += " <" + cmd.input;
  if (cmd.discardStdout) text += cmd.discardStderr ? " 1>/dev/null 2>&1" : " 1>/dev/null";
  else if (cmd.discardStderr) text += " 2>/dev/null ";
  return text;
}

int RunCommand(const Command& cmd) {
  if (cmd.argv.empty() || detail::PendingInterrupt()) return -1;

  Fd input;
  if (!cmd.input.empty() && !(input = OpenInput(cmd.input))) return -1;
  SpawnActions actions;
  if (!actions.ok() || (cmd.discardStdout && !actions.Discard(STDOUT_FILENO)) ||
      (cmd.discardStderr && !actions.Discard(STDERR_FILENO)) ||
      (input && !actions.Input(input.get())))
    return -1;
  SpawnAttr attr;
  if (!attr.ok()) return -1;

  std::vector<char*> argv;
  argv.reserve(cmd.argv.size() + 1);
  for (const std::string& word : cmd.argv) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);

  ChildSignalBlock block;
  Subreaper subreaper;
  const std::vector<pid_t> before = ChildrenOf(::getpid());
  pid_t pid = 0;
  {
    FileSizeLimit limit;
    ScopedUmask mask(cmd.umask);
    if (int error = posix_spawnp(&pid, argv[0], actions.get(), attr.get(), argv.data(), environ)) {
      if (!cmd.discardStderr) SayWhyNotStarted(cmd.argv[0], error);
      return -1;
    }
  }

  // A command that runs past the limit is ended like an interrupted one: a
  // planted FIFO or a dead host must not hold the client for ever.
  const timespec deadline = detail::After(copyLimit);
  int status = 0;
  bool reaped = false;
  while (!(reaped = Reaped(pid, &status)) && !detail::Passed(deadline)) {
    const timespec recheck{0, kRecheckNanos};
    const int sig = detail::WaitForSignal(true, &recheck);
    if (sig != 0 && sig != SIGCHLD) break;
  }
  // A key typed at the terminal reaches the command and the client
  // together: when the command died of it first, the client's copy is
  // waiting still.
  if (reaped && !detail::PendingInterrupt()) {
    const timespec look{0, 0};
    detail::WaitForSignal(false, &look);
  }
  if (!reaped || detail::PendingInterrupt()) {
    EndCommand(pid, reaped, before);
    return -1;
  }
  return (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) ? 0 : -1;
}

}  // namespace prclient
