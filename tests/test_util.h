// Helpers of every suite: temporary folders, files, captured standard
// output, request images, and a controller thread that answers requests in
// a directory.
#ifndef PRCLIENT_TEST_UTIL_H_
#define PRCLIENT_TEST_UTIL_H_

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "prclient.h"

namespace testutil {

// A fresh directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // The path with a trailing "/", as the library's directories are given.
  std::string slash() const { return path_ + "/"; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
// The type and mode of what stands at `path`, not followed; 0 for nothing.
unsigned Mode(const std::string& path);
std::vector<std::string> ListDir(const std::string& dir);
std::string HostName();

using Millis = std::chrono::milliseconds;

// Polls `done` every few milliseconds until it holds or `limit` has passed.
bool WaitFor(const std::function<bool()>& done, Millis limit = Millis(5000));

// Runs `fn` with standard output sent to a file and returns what it wrote.
std::string CaptureStdout(const std::function<void()>& fn);

// The request image a client writes, made by the client library itself;
// the remote call wraps each argument in double quotes, escaping nothing.
// Inline, as only the suites that link a build of the library use it.
inline std::string ClientImage(const std::string& control, const std::string& reply, const std::string& request,
                               std::vector<std::string> args) {
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

// What a test controller saw of one request.
struct SeenRequest {
  std::string control, reply, request, count, line;
};

// Serves `dir` from a thread: each complete request file is taken away and
// answered under its reply name with what `answer` gives (false: no reply
// at all).
class TestController {
 public:
  using Answer = std::function<bool(const SeenRequest&, std::string* reply)>;
  TestController(std::string dir, Answer answer)
      : dir_(std::move(dir)), answer_(std::move(answer)), thread_([this] { Serve(); }) {}
  ~TestController() { stop_ = true, thread_.join(); }

 private:
  void Serve();
  std::string dir_;
  Answer answer_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A controller that answers every request in `dir` with `reply`, adding what
// came to `seen` when given.
std::unique_ptr<TestController> Answering(const std::string& dir, std::string reply,
                                          std::vector<SeenRequest>* seen = nullptr);

// The directory of the stand-in rcp, to put first on PATH.
std::string StubBinDir();

// Gives a library setting a value for the object's lifetime.
template <typename T>
class Scoped {
 public:
  Scoped(T& var, T value) : var_(var), old_(std::exchange(var, value)) {}
  ~Scoped() { var_ = old_; }
  Scoped(const Scoped&) = delete;
  Scoped& operator=(const Scoped&) = delete;
  const T& old() const { return old_; }

 private:
  T& var_;
  T old_;
};

// Sets an environment variable for the test's lifetime.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() { old_ ? setenv(name_.c_str(), old_->c_str(), 1) : unsetenv(name_.c_str()); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace testutil

#endif  // PRCLIENT_TEST_UTIL_H_
