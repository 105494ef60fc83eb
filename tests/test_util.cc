#include "test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

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
  nftw(path_.c_str(),
       [](const char* p, const struct stat*, int, FTW*) { return remove(p); }, 16,
       FTW_DEPTH | FTW_PHYS);
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
  }
  return names;
}

std::string HostName() {
  char buf[256] = "";
  gethostname(buf, sizeof buf);
  return buf;
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

namespace {
std::string Field(const std::string& image, std::size_t off, std::size_t len) {
  std::string f = image.substr(off, len);
  f.erase(f.find_last_not_of(' ') + 1);
  return f;
}
}  // namespace

SeenRequest SplitRequest(const std::string& image) {
  return {Field(image, 0, 14), Field(image, 15, 14), Field(image, 30, 14),
          Field(image, 45, 6), Field(image, 52, 79)};
}

TestController::TestController(std::string dir, Answer answer)
    : dir_(std::move(dir)), answer_(std::move(answer)), thread_([this] { Serve(); }) {}

TestController::~TestController() {
  stop_ = true;
  thread_.join();
}

void TestController::Serve() {
  while (!stop_) {
    for (const std::string& name : ListDir(dir_)) {
      if (name.rfind("spr", 0) != 0 || name.size() != 9) continue;
      std::string path = dir_ + "/" + name;
      std::string image = ReadFile(path);
      if (image.size() != 132) continue;
      unlink(path.c_str());
      SeenRequest req = SplitRequest(image);
      std::string reply;
      if (!answer_(req, &reply)) continue;
      std::string tmp = dir_ + "/.tmp-" + req.reply;
      WriteFile(tmp, reply);
      rename(tmp.c_str(), (dir_ + "/" + req.reply).c_str());
      ++answered_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::string StubBinDir() { return PRCLIENT_TEST_STUBS; }

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
  const char* old = getenv(name);
  had_ = old != nullptr;
  if (had_) old_ = old;
  setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (had_) setenv(name_.c_str(), old_.c_str(), 1);
  else unsetenv(name_.c_str());
}

}  // namespace testutil
