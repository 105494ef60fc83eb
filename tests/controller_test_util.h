// Helpers for the controller's tests: scratch directories, request images
// made by the client library, and a controller run as a real process.
#ifndef PRCONTROLLER_TEST_UTIL_H_
#define PRCONTROLLER_TEST_UTIL_H_

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace ctltest {

// A fresh directory, removed with its content.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The request image a client writes, made by the client library itself.
std::string ClientImage(const std::string& control, const std::string& reply,
                        const std::string& request,
                        const std::vector<std::string>& args);

void WriteFile(const std::string& path, const std::string& content);
void AppendFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
std::vector<std::string> ListDir(const std::string& dir);

// Waits until `path` exists; false after `limit`.
bool WaitForFile(const std::string& path,
                 std::chrono::milliseconds limit = std::chrono::seconds(5));

// The reply's status line as a number and its text, split.
struct ReplyParts {
  int status = -1;
  std::string text;
  std::string first_line;
};
ReplyParts SplitReply(const std::string& content);

// The prcontroller program run on a directory; stopped with SIGTERM when
// the object goes, unless Stop() was called. Its log goes to a file.
class ControllerProcess {
 public:
  explicit ControllerProcess(std::vector<std::string> args);
  ~ControllerProcess();
  ControllerProcess(const ControllerProcess&) = delete;
  ControllerProcess& operator=(const ControllerProcess&) = delete;

  // Waits until the controller logs that it serves its directory.
  bool WaitReady();
  // Sends `signal` and returns the exit status (-1 when it did not exit).
  int Stop(int signal);
  // Waits for a process that ends by itself (--once).
  int Wait();
  std::string LogText() const;

 private:
  ScratchDir log_dir_;
  pid_t pid_ = -1;
};

}  // namespace ctltest

#endif  // PRCONTROLLER_TEST_UTIL_H_
