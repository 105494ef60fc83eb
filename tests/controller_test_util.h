// Helpers for the controller's tests: request images made by the client
// library, and the controller run as a real process.
#ifndef PRCONTROLLER_TEST_UTIL_H_
#define PRCONTROLLER_TEST_UTIL_H_

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "prclient.h"
#include "process.h"
#include "test_util.h"

namespace ctltest {

// The request image a client writes, made by the client library itself.
inline std::string ClientImage(const std::string& control, const std::string& reply,
                               const std::string& request,
                               const std::vector<std::string>& args) {
  prclient::RequestRecord rec;
  std::snprintf(rec.controlName, sizeof rec.controlName, "%s", control.c_str());
  std::snprintf(rec.replyName, sizeof rec.replyName, "%s", reply.c_str());
  std::snprintf(rec.requestName, sizeof rec.requestName, "%s", request.c_str());
  // The remote call wraps each argument in double quotes, escaping nothing.
  std::vector<std::string> quoted;
  for (const std::string& arg : args) quoted.push_back("\"" + arg + "\"");
  const std::size_t count = std::min<std::size_t>(quoted.size(), prclient::kMaxArgs);
  rec.wordCount = static_cast<int>(count) + 1;
  rec.words[0] = rec.requestName;
  for (std::size_t i = 0; i < count; ++i) rec.words[i + 1] = quoted[i].c_str();
  return prclient::RequestImage(rec);
}

// Polls `done` until it holds; false after five seconds.
inline bool WaitFor(const std::function<bool()>& done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A reply's status line and the first line of its text, "0\nAll jobs: 6".
inline std::string Head(const std::string& path) {
  const std::string text = testutil::ReadFile(path);
  return text.substr(0, text.find('\n', text.find('\n') + 1));
}

// The prcontroller program run with `args`, its log kept; killed when the
// object goes unless it was stopped or waited for.
class Controller {
 public:
  explicit Controller(std::vector<std::string> args) {
    const mode_t old = ::umask(077);  // must not leak into the replies' mode
    pid_ = testutil::Start({CONTROLLER_BIN, std::move(args), "", {}, ""}, logs_.path());
    ::umask(old);
  }
  ~Controller() { if (pid_ > 0) Stop(SIGKILL); }

  bool WaitReady() const {
    return WaitFor([this] { return Log().find("serving ") != std::string::npos; });
  }
  int Stop(int signal) {
    ::kill(pid_, signal);
    return Wait();
  }
  // The exit status, or -signal.
  int Wait() {
    const int code = testutil::Finish(pid_, logs_.path()).exitCode;
    pid_ = -1;
    return code;
  }
  std::string Log() const { return testutil::ReadFile(logs_ / "stderr"); }
  pid_t pid() const { return pid_; }

 private:
  testutil::TempDir logs_;
  pid_t pid_ = -1;
};

}  // namespace ctltest

#endif  // PRCONTROLLER_TEST_UTIL_H_
