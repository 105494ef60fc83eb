// Helpers for the controller's tests: request images made by the client
// library, and the controller run as a real process.
#ifndef PRCONTROLLER_TEST_UTIL_H_
#define PRCONTROLLER_TEST_UTIL_H_

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "e2e_util.h"
#include "prclient.h"
#include "test_util.h"

namespace testutil {

// The request image a client writes, made by the client library itself;
// the remote call wraps each argument in double quotes, escaping nothing.
inline std::string ClientImage(const std::string& control, const std::string& reply,
                               const std::string& request, std::vector<std::string> args) {
  prclient::RequestRecord rec;
  std::snprintf(rec.controlName, sizeof rec.controlName, "%s", control.c_str());
  std::snprintf(rec.replyName, sizeof rec.replyName, "%s", reply.c_str());
  std::snprintf(rec.requestName, sizeof rec.requestName, "%s", request.c_str());
  args.resize(std::min<std::size_t>(args.size(), prclient::kMaxArgs));
  rec.wordCount = static_cast<int>(args.size()) + 1;
  rec.words[0] = rec.requestName;
  for (std::size_t i = 0; i < args.size(); ++i) rec.words[i + 1] = (args[i] = '"' + args[i] + '"').c_str();
  return prclient::RequestImage(rec);
}

inline bool WaitFor(const std::function<bool()>& done) { return WaitFor(done, Millis(5000)); }

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
  bool WaitLogged(const std::string& what) const {
    return WaitFor([&] { return err().find(what) != std::string::npos; });
  }
  bool WaitReady() const { return WaitLogged("serving "); }
};

}  // namespace testutil

#endif  // PRCONTROLLER_TEST_UTIL_H_
