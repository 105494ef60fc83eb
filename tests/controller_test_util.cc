#include "controller_test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "prclient.h"

namespace ctltest {

ScratchDir::ScratchDir() {
  char templ[] = "/tmp/prctl-test-XXXXXX";
  if (!::mkdtemp(templ)) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ClientImage(const std::string& control, const std::string& reply,
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

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

void AppendFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out << content;
  if (!out.flush()) throw std::runtime_error("cannot append to " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

bool WaitForFile(const std::string& path, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!Exists(path)) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

ReplyParts SplitReply(const std::string& content) {
  ReplyParts parts;
  const std::size_t nl = content.find('\n');
  if (nl == std::string::npos) return parts;
  parts.status = std::atoi(content.substr(0, nl).c_str());
  parts.text = content.substr(nl + 1);
  parts.first_line = parts.text.substr(0, parts.text.find('\n'));
  return parts;
}

ControllerProcess::ControllerProcess(std::vector<std::string> args) {
  const std::string log = log_dir_ / "log";
  args.insert(args.begin(), PRCONTROLLER_PATH);
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::dup2(fd, STDERR_FILENO) < 0) ::_exit(127);
    // A restrictive umask must not leak into the replies' mode.
    ::umask(077);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
}

ControllerProcess::~ControllerProcess() {
  if (pid_ > 0) Stop(SIGKILL);
}

bool ControllerProcess::WaitReady() {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (LogText().find("serving ") == std::string::npos) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

int ControllerProcess::Stop(int signal) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, signal);
  return Wait();
}

int ControllerProcess::Wait() {
  if (pid_ <= 0) return -1;
  int status = 0;
  const pid_t got = ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return got > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ControllerProcess::LogText() const { return ReadFile(log_dir_ / "log"); }

}  // namespace ctltest
