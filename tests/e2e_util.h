// Helpers for the end-to-end suites: programs run and watched as processes,
// a client's working area, another user, private namespaces, and the real
// controller.
#ifndef PRCLIENT_TEST_E2E_UTIL_H_
#define PRCLIENT_TEST_E2E_UTIL_H_

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "test_util.h"

namespace testutil {

// A built program run as a process: what it printed, and how it ended.
struct Outcome {
  std::string out, err;
  int exitCode = -1000;  // the exit status, or -signal when killed
  bool operator==(const Outcome& o) const {
    return out == o.out && err == o.err && exitCode == o.exitCode;
  }
};
// How a failed comparison shows one.
inline void PrintTo(const Outcome& o, std::ostream* os) {
  *os << "exit " << o.exitCode << ", out \"" << o.out << "\", err \"" << o.err << '"';
}

struct Launch {
  std::string program;
  std::vector<std::string> args;
  std::string cwd;
  std::vector<std::string> env;  // NAME=value entries added to ours; the last one wins
  std::string stdoutPath;        // empty: captured
};

// Starts the program; its output goes to files in `scratch`, or with a
// `terminal` it leads a session there, its three streams on it.
pid_t Start(const Launch& launch, const std::string& scratch, const char* terminal = nullptr);
// Waits for a started program and reads what it printed.
Outcome Finish(pid_t pid, const std::string& scratch);
Outcome RunProgram(const Launch& launch);

// The children of single-threaded `pid`, zombies included.
std::vector<pid_t> ChildrenOf(pid_t pid);
// Waits until this process has no children left, reaping them. Those still
// running after `limit` are killed, and the wait reports false.
bool ReapAll(Millis limit);

// A started program with its output in a directory of its own, killed on
// scope exit unless finished: a test that stops early leaves nothing running.
class Running {
 public:
  explicit Running(const Launch& launch, const char* terminal = nullptr)
      : pid_(Start(launch, out_.path(), terminal)) {}
  ~Running() { if (pid_ > 0) Finish(SIGKILL); }
  pid_t pid() const { return pid_; }
  std::string err() const { return ReadFile(out_ / "stderr"); }
  // Sends `sig` unless it is 0, then waits for the program's end.
  Outcome Finish(int sig = 0) {
    if (sig != 0) kill(pid_, sig);
    return testutil::Finish(std::exchange(pid_, 0), out_.path());
  }
  // Waits at most `limit` for the program's own end, then kills it: the
  // exit code is then -1000.
  Outcome FinishWithin(Millis limit);

 private:
  TempDir out_;
  pid_t pid_;
};

// Runs `client` against a controller that answers every request with a pipe
// under the reply name: the client's fetch then waits in the far side's open
// of it, and is interrupted there. The client must have had a child (its
// copy) just before, and die of the signal.
void ExpectInterruptInFetchEndsIt(const Launch& client, const std::string& requests);

// "nobody", when the tests run as root and can become it, and it can reach
// the build (the programs, and the test areas beside them), which a
// checkout under a private directory keeps from it; else null, and why.
const passwd* Nobody(std::string* why);
// The launch run as `user` through setpriv.
Launch As(const passwd* user, Launch launch);

// This process without a controlling terminal, as in cron, and in network
// and mount namespaces of its own with the loopback up and a private /run:
// nothing of the machine changes, and everything goes with the process.
// False when the kernel refuses the namespaces.
bool Isolate();

// A client's working area: "cconf", the scratch directory "spool/" and the
// controller's request directory "requests/", reachable by every user.
class Area : public TempDir {
 public:
  Area();
  std::string spool() const { return *this / "spool"; }
  std::string requests() const { return *this / "requests"; }
  void WriteConf(const std::string& host, const std::string& requestDir) const;
  // An end-to-end program (a name in the test build, or a path) run in the
  // area with `env` added.
  Launch Client(const std::string& program, std::vector<std::string> args,
                std::vector<std::string> env) const;
  // `program` with the failing copy commands (tests/stubs/faulty, passing
  // calls on until FAULT is set) and the stand-in rcp first on PATH: a
  // host is a directory under hosts/, the stubs log their calls to
  // "calls", and a hanging stub writes its pids to stub-pids.
  Launch StubbedClient(std::vector<std::string> args, std::vector<std::string> env = {},
                       const std::string& program = "prwatch") const;
  // Request files (names with the control prefix) waiting in `dir`.
  static std::vector<std::string> Requests(const std::string& dir);
};

// A test in an area of its own whose request directory is also served
// under hosts/ctlhost, next to a host "bare" without it. Afterwards the
// scratch directory must be empty and nothing the test started may be left
// running: orphaned descendants of the programs become this process's
// children, to be seen, reaped and ended here. Clients killed by SIGQUIT
// dump no core.
class AreaTest : public testing::Test {
 protected:
  static void SetUpTestSuite();
  void SetUp() override;
  void TearDown() override;
  // The fetches the programs ran through PATH: cp, or rcp from host:path.
  // Requests to this host go through /usr/bin/cp, which is not logged.
  int Fetches() const;
  Area area_;
};

// The controller run as a real process, and requests dropped before it.

// A reply's status line and the first line of its text, "0\nAll jobs: 6".
inline std::string Head(const std::string& path) {
  const std::string text = ReadFile(path);
  return text.substr(0, text.find('\n', text.find('\n') + 1));
}

// Drops a request in `dir` as a client's copy does and returns its reply's head.
inline std::string Ask(const std::string& dir, const std::string& control, const std::string& reply,
                       const std::string& request, const std::vector<std::string>& args) {
  WriteFile(dir + "/" + control, ClientImage(control, reply, request, args));
  return WaitFor([&] { return Exists(dir + "/" + reply); }) ? Head(dir + "/" + reply) : "no reply";
}

// The prcontroller program run with `args`, killed when the object goes
// unless it was finished; what it logs is its standard error.
struct Controller : Running {
  explicit Controller(std::vector<std::string> args) : Running({CONTROLLER_BIN, std::move(args), "", {}, ""}) {}
  explicit Controller(const Launch& launch) : Running(launch) {}  // as another user, say
  bool WaitLogged(const std::string& what) const {
    return WaitFor([&] { return err().find(what) != std::string::npos; });
  }
  bool WaitReady() const { return WaitLogged("serving "); }
};

}  // namespace testutil

#endif  // PRCLIENT_TEST_E2E_UTIL_H_
