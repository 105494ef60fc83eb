#include "fault_util.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

namespace faults {
namespace {

// The state letter and parent of `pid` from /proc, or false when there is
// no such process. The command name is skipped by its last ")", since it
// may hold blanks and parentheses itself.
bool ProcStat(pid_t pid, char* state, pid_t* parent) {
  std::string stat = testutil::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  std::size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 4 > stat.size()) return false;
  *state = stat[close + 2];
  *parent = static_cast<pid_t>(std::atol(stat.c_str() + close + 4));
  return true;
}

}  // namespace

bool WaitFor(const std::function<bool()>& done, Millis limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(Millis(2));
  }
  return true;
}

std::vector<pid_t> ChildrenOf(pid_t pid) {
  std::vector<pid_t> children;
  for (const std::string& name : testutil::ListDir("/proc")) {
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    char state;
    pid_t parent;
    pid_t candidate = static_cast<pid_t>(std::atol(name.c_str()));
    if (ProcStat(candidate, &state, &parent) && parent == pid) children.push_back(candidate);
  }
  return children;
}

bool Gone(pid_t pid) {
  char state;
  pid_t parent;
  return !ProcStat(pid, &state, &parent) || state == 'Z' || state == 'X';
}

bool AwaitGone(pid_t pid, Millis limit) {
  auto reapedOrGone = [pid] {
    int status;
    waitpid(pid, &status, WNOHANG);
    return Gone(pid);
  };
  if (WaitFor(reapedOrGone, limit)) return true;
  kill(pid, SIGKILL);
  WaitFor(reapedOrGone, Millis(2000));
  return false;
}

bool ReapAll(Millis limit) {
  auto none = [] {
    int status;
    pid_t r;
    while ((r = waitpid(-1, &status, WNOHANG)) > 0) {
    }
    return r < 0 && errno == ECHILD;
  };
  if (WaitFor(none, limit)) return true;
  for (pid_t child : ChildrenOf(getpid())) kill(child, SIGKILL);
  WaitFor(none, Millis(2000));
  return false;
}

void BecomeSubreaper() { prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0); }

Running::~Running() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  int status;
  waitpid(pid_, &status, 0);
}

testutil::Outcome Running::Finish(const std::string& scratch) {
  testutil::Outcome o = testutil::Finish(pid_, scratch);
  pid_ = 0;
  return o;
}

bool Root() { return geteuid() == 0; }

std::optional<User> Nobody() {
  const passwd* pw = getpwnam("nobody");
  if (!Root() || pw == nullptr || pw->pw_uid == 0) return std::nullopt;
  return User{pw->pw_uid, pw->pw_gid};
}

bool AsUser(const User& user, const std::function<bool()>& fn) {
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(user.gid) != 0 || setuid(user.uid) != 0) _exit(2);
    _exit(fn() ? 0 : 1);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

testutil::Launch As(const User& user, testutil::Launch launch) {
  std::vector<std::string> args{"--reuid=" + std::to_string(user.uid),
                                "--regid=" + std::to_string(user.gid), "--clear-groups",
                                launch.program};
  args.insert(args.end(), launch.args.begin(), launch.args.end());
  launch.program = "/usr/bin/setpriv";
  launch.args = std::move(args);
  return launch;
}

Area::Area() {
  chmod(path().c_str(), 0755);
  mkdir(spool().c_str(), 0755);
  mkdir(requests().c_str(), 0755);
}

void Area::WriteConf(const std::string& host, const std::string& requestDir) const {
  testutil::WriteFile(dir_ / "cconf", host + "\n/print/\n" + requestDir + "\n");
}

testutil::Launch Area::Client(const std::string& program, std::vector<std::string> args,
                              std::vector<std::string> env) const {
  return {std::string(E2E_BIN) + "/" + program, std::move(args), path(), std::move(env), {}};
}

std::vector<std::string> Area::Requests(const std::string& dir) {
  std::vector<std::string> found;
  for (const std::string& name : testutil::ListDir(dir))
    if (name.rfind("spr", 0) == 0) found.push_back(name);
  return found;
}

}  // namespace faults
