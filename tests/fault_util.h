// Helpers for the fault, load and remote copy tests: a client's working
// area, processes watched from outside, and running as another user.
#ifndef PRCLIENT_TEST_FAULT_UTIL_H_
#define PRCLIENT_TEST_FAULT_UTIL_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "process.h"
#include "test_util.h"

namespace faults {

using Millis = std::chrono::milliseconds;

// Polls `done` every few milliseconds until it holds or `limit` has passed.
bool WaitFor(const std::function<bool()>& done, Millis limit);

// The processes whose parent is `pid` (zombies included).
std::vector<pid_t> ChildrenOf(pid_t pid);
// Whether `pid` has ended: no such process, or one that is only waiting to
// be reaped.
bool Gone(pid_t pid);
// Waits until `pid` is gone, reaping it when it became this process's own
// (see BecomeSubreaper). A process still running after `limit` is killed,
// and the wait reports false.
bool AwaitGone(pid_t pid, Millis limit);
// Waits until this process has no children left, reaping them. Those still
// running after `limit` are killed, and the wait reports false.
bool ReapAll(Millis limit);
// Makes orphaned descendants children of this process, so that whatever a
// program under test leaves running can be seen, reaped and ended here.
void BecomeSubreaper();

// Kills the started program on scope exit unless it was finished: a test
// that stops early leaves nothing running.
class Running {
 public:
  explicit Running(pid_t pid) : pid_(pid) {}
  ~Running();
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;
  pid_t pid() const { return pid_; }
  testutil::Outcome Finish(const std::string& scratch);

 private:
  pid_t pid_;
};

struct User {
  uid_t uid;
  gid_t gid;
};
bool Root();
// "nobody", when the tests can become it.
std::optional<User> Nobody();
// Runs `fn` in a child process as `user`; its result is the child's.
bool AsUser(const User& user, const std::function<bool()>& fn);
// The launch run as `user` through setpriv.
testutil::Launch As(const User& user, testutil::Launch launch);

// A client's working area: "cconf", the scratch directory "spool/" and the
// controller's request directory "requests/", reachable by every user.
class Area {
 public:
  Area();
  const std::string& path() const { return dir_.path(); }
  std::string operator/(const std::string& name) const { return dir_ / name; }
  std::string spool() const { return dir_ / "spool"; }
  std::string requests() const { return dir_ / "requests"; }
  void WriteConf(const std::string& host, const std::string& requestDir) const;
  // An end-to-end program run in the area with `env` added.
  testutil::Launch Client(const std::string& program, std::vector<std::string> args,
                          std::vector<std::string> env) const;
  // Request files ("spr" names) waiting in `dir`.
  static std::vector<std::string> Requests(const std::string& dir);

 private:
  testutil::TempDir dir_;
};

}  // namespace faults

#endif  // PRCLIENT_TEST_FAULT_UTIL_H_
