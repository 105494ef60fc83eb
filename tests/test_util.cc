#include "test_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "prclient.h"

namespace testutil {

// Under the build tree, not /tmp: what a test killed by its time limit
// leaves goes with the build.
TempDir::TempDir() {
  mkdir(PRCLIENT_TEST_TMP, 0755);
  std::string templ = PRCLIENT_TEST_TMP "/prtestXXXXXX";
  if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp in " PRCLIENT_TEST_TMP);
  path_ = templ;
}

TempDir::~TempDir() {
  std::error_code ignored;  // links in it are removed, not followed
  std::filesystem::remove_all(path_, ignored);
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

unsigned Mode(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code none;  // a directory that is not there holds nothing
  for (const auto& e : std::filesystem::directory_iterator(dir, none))
    names.push_back(e.path().filename());
  return names;
}

std::string HostName() {
  char buf[256] = "";
  gethostname(buf, sizeof buf);
  return buf;
}

bool WaitFor(const std::function<bool()>& done, Millis limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (; !done(); std::this_thread::sleep_for(Millis(2)))
    if (std::chrono::steady_clock::now() > end) return false;
  return true;
}

std::string CaptureStdout(const std::function<void()>& fn) {
  TempDir tmp;
  std::string path = tmp / "out";
  std::fflush(stdout);
  int saved = dup(STDOUT_FILENO);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(fd, STDOUT_FILENO);
  close(fd);
  fn();
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  return ReadFile(path);
}

void TestController::Serve() {
  while (!stop_) {
    for (const std::string& name : ListDir(dir_)) {
      if (name.rfind(prclient::kControlPrefix, 0) != 0 || name.size() != prclient::kControlTemplate.size())
        continue;
      std::string path = dir_ + "/" + name;
      std::string image = ReadFile(path);
      if (image.size() != prclient::kRequestSize) continue;
      unlink(path.c_str());
      auto field = [&image](std::size_t off, std::size_t len) {
        const std::string f = image.substr(off, len);
        return f.substr(0, f.find_last_not_of(' ') + 1);
      };
      using namespace prclient;
      const SeenRequest req{field(kControlAt, kMaxNameLength), field(kReplyAt, kMaxNameLength),
                            field(kRequestAt, kMaxNameLength), field(kCountAt, kCountField),
                            field(kLineAt, kLineField)};
      std::string reply;
      if (!answer_(req, &reply)) continue;
      std::string tmp = dir_ + "/.tmp-" + req.reply;
      WriteFile(tmp, reply);
      rename(tmp.c_str(), (dir_ + "/" + req.reply).c_str());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::unique_ptr<TestController> Answering(const std::string& dir, std::string reply,
                                          std::vector<SeenRequest>* seen) {
  return std::make_unique<TestController>(dir, [reply, seen](const SeenRequest& req, std::string* out) {
    if (seen) seen->push_back(req);
    *out = reply;
    return true;
  });
}

std::string StubBinDir() { return PRCLIENT_TEST_STUBS; }

}  // namespace testutil
