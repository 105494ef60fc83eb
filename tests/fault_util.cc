#include "fault_util.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <sstream>
#include <thread>

namespace faults {

bool WaitFor(const std::function<bool()>& done, Millis limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(Millis(2));
  }
  return true;
}

std::vector<pid_t> ChildrenOf(pid_t pid) {
  const std::string p = std::to_string(pid);
  std::istringstream in(testutil::ReadFile("/proc/" + p + "/task/" + p + "/children"));
  std::vector<pid_t> children;
  for (pid_t child; in >> child;) children.push_back(child);
  return children;
}

void BecomeSubreaper() { prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0); }

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

Running::~Running() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  int status;
  waitpid(pid_, &status, 0);
}

testutil::Outcome Running::Finish(int sig) {
  if (sig != 0) kill(pid_, sig);
  testutil::Outcome o = testutil::Finish(pid_, out_.path());
  pid_ = 0;
  return o;
}

Interrupted InterruptInFetch(const testutil::Launch& launch, const std::string& requests) {
  std::string fifo;
  std::atomic<bool> made{false};
  testutil::TestController ctl(requests, [&](const testutil::SeenRequest& req, std::string*) {
    fifo = requests + "/" + req.reply;
    made = mkfifo(fifo.c_str(), 0644) == 0;
    return false;
  });
  Running client(launch);
  Interrupted r;
  if (WaitFor([&] { return made.load(); }, Millis(10000))) {
    std::this_thread::sleep_for(Millis(500));  // well inside the fetch
    r.children = ChildrenOf(client.pid()).size();
  }
  r.outcome = client.Finish(SIGINT);
  if (!made) return r;
  // Let the far side go: it finds the pipe empty and its client gone.
  const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  if (fd >= 0) close(fd);
  unlink(fifo.c_str());
  return r;
}

testutil::Outcome Running::FinishWithin(Millis limit) {
  auto ended = [&] {
    siginfo_t info{};
    return waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_;
  };
  if (WaitFor(ended, limit)) return Finish();
  testutil::Outcome o = Finish(SIGKILL);
  o.exitCode = -1000;
  return o;
}

std::unique_ptr<testutil::TestController> Answering(const std::string& dir, std::string reply) {
  return std::make_unique<testutil::TestController>(
      dir, [reply](const testutil::SeenRequest&, std::string* out) {
        *out = reply;
        return true;
      });
}

std::optional<User> Nobody() {
  const passwd* pw = getpwnam("nobody");
  if (geteuid() != 0 || pw == nullptr || pw->pw_uid == 0) return std::nullopt;
  return User{pw->pw_uid, pw->pw_gid};
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

testutil::Launch Area::StubbedClient(const std::string& program,
                                     std::vector<std::string> args,
                                     std::vector<std::string> env) const {
  const std::string stubs = testutil::StubBinDir();
  env.insert(env.begin(), {"PATH=" + stubs + "/faulty:" + stubs + ":" + getenv("PATH"),
                           "RCP_ROOT=" + dir_ / "hosts", "FAULT_LOG=" + dir_ / "calls",
                           "FAULT_PIDS=" + dir_ / "stub-pids"});
  return Client(program, std::move(args), std::move(env));
}

std::vector<std::string> Area::Requests(const std::string& dir) {
  std::vector<std::string> found;
  for (const std::string& name : testutil::ListDir(dir))
    if (name.rfind("spr", 0) == 0) found.push_back(name);
  return found;
}

void AreaTest::SetUp() {
  area_.WriteConf(testutil::HostName(), area_.requests() + "/");
  std::filesystem::create_directories(area_ / "hosts/ctlhost" + area_.requests());
}

void AreaTest::TearDown() {
  EXPECT_TRUE(testutil::ListDir(area_.spool()).empty()) << "left in the scratch directory";
  EXPECT_TRUE(ReapAll(Millis(5000))) << "processes left running";
}

}  // namespace faults
