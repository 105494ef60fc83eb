#include "e2e_util.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testutil {

pid_t Start(const Launch& launch, const std::string& scratch, const char* terminal) {
  // Ours, then the launch's entries; of entries with one name the last wins.
  std::map<std::string, std::string> env;
  auto add = [&env](const std::string& entry) { env[entry.substr(0, entry.find('='))] = entry; };
  for (char** e = environ; *e; ++e) add(*e);
  for (const std::string& entry : launch.env) add(entry);
  std::vector<std::string> words{launch.program};
  words.insert(words.end(), launch.args.begin(), launch.args.end());
  std::vector<char*> envp, argv;
  for (auto& entry : env) envp.push_back(entry.second.data());
  for (std::string& s : words) argv.push_back(s.data());
  envp.push_back(nullptr);
  argv.push_back(nullptr);
  const std::string out = launch.stdoutPath.empty() ? scratch + "/stdout" : launch.stdoutPath;
  const std::string err = scratch + "/stderr";

  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
  if (pid > 0) return pid;
  // The program dies with the test: a test ended by its time limit or a
  // crash leaves no controller or client running.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  // A terminal opened by the leader of a new session becomes its controlling
  // terminal, with the program in its foreground. The descriptors opened
  // here stay out of the program but for the three they become.
  const int tty = terminal && setsid() >= 0 ? open(terminal, O_RDWR | O_CLOEXEC) : -1;
  const int o = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
  const int fds[] = {terminal ? tty : open("/dev/null", O_RDONLY | O_CLOEXEC),
                     terminal ? tty : open(out.c_str(), o, 0600),
                     terminal ? tty : open(err.c_str(), o, 0600)};
  for (int i = 0; i < 3; ++i)
    if (fds[i] < 0 || dup2(fds[i], i) < 0) _exit(127);
  if (getppid() != parent || (!launch.cwd.empty() && chdir(launch.cwd.c_str()) != 0)) _exit(127);
  execve(launch.program.c_str(), argv.data(), envp.data());
  _exit(127);
}

Outcome Finish(pid_t pid, const std::string& scratch) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return {ReadFile(scratch + "/stdout"), ReadFile(scratch + "/stderr"),
          WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status)};
}

Outcome RunProgram(const Launch& launch) {
  TempDir scratch;
  return Finish(Start(launch, scratch.path()), scratch.path());
}

std::vector<pid_t> ChildrenOf(pid_t pid) {
  const std::string p = std::to_string(pid);
  std::istringstream in(ReadFile("/proc/" + p + "/task/" + p + "/children"));
  std::vector<pid_t> children;
  for (pid_t child; in >> child;) children.push_back(child);
  return children;
}

bool ReapAll(Millis limit) {
  auto none = [] {
    pid_t r;
    while ((r = waitpid(-1, nullptr, WNOHANG)) > 0) {
    }
    return r < 0 && errno == ECHILD;
  };
  if (WaitFor(none, limit)) return true;
  for (pid_t child : ChildrenOf(getpid())) kill(child, SIGKILL);
  WaitFor(none, Millis(2000));
  return false;
}

Outcome Running::FinishWithin(Millis limit) {
  siginfo_t info{};
  const bool ended = WaitFor(
      [&] { return waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid; },
      limit);
  Outcome o = Finish(ended ? 0 : SIGKILL);
  if (!ended) o.exitCode = -1000;
  return o;
}

void ExpectInterruptInFetchEndsIt(const Launch& launch, const std::string& requests) {
  std::string fifo;
  std::atomic<bool> made{false};
  TestController ctl(requests, [&](const SeenRequest& req, std::string*) {
    fifo = requests + "/" + req.reply;
    made = mkfifo(fifo.c_str(), 0644) == 0;
    return false;
  });
  Running client(launch);
  EXPECT_TRUE(WaitFor([&] { return made && ChildrenOf(client.pid()).size() == 1; }, Millis(10000)))
      << "no copy running";
  std::this_thread::sleep_for(Millis(500));  // well inside the fetch
  EXPECT_EQ(client.Finish(SIGINT).exitCode, -SIGINT);
  // Let the far side go: it finds the pipe empty and its client gone.
  close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
  unlink(fifo.c_str());
}

// Whether a user with no claim to any directory on the way (neither its
// owner nor in its group) may pass through to `path`.
bool OthersReach(const std::string& path) {
  for (std::string dir = path; !dir.empty(); dir.resize(dir.rfind('/'))) {
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !(st.st_mode & S_IXOTH)) return false;
  }
  return true;
}

const passwd* Nobody(std::string* why) {
  const passwd* pw = getpwnam("nobody");
  if (geteuid() != 0)
    *why = "needs root, to run it as \"nobody\"";
  else if (!pw || pw->pw_uid == 0)
    *why = "needs a user \"nobody\"";
  else if (!OthersReach(E2E_BIN))
    *why = "\"nobody\" cannot reach " E2E_BIN " (a checkout under a private directory)";
  else
    return pw;
  return nullptr;
}

Launch As(const passwd* user, Launch launch) {
  launch.args.insert(launch.args.begin(), {"--reuid=" + std::to_string(user->pw_uid),
                                           "--regid=" + std::to_string(user->pw_gid),
                                           "--clear-groups", launch.program});
  launch.program = "/usr/bin/setpriv";
  return launch;
}

bool Isolate() {
  const int tty = open("/dev/tty", O_RDWR | O_NOCTTY);
  if (tty >= 0) ioctl(tty, TIOCNOTTY), close(tty);
  if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) return false;
  EXPECT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << strerror(errno);
  EXPECT_EQ(mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=755"), 0) << strerror(errno);
  ifreq ifr{};
  std::strcpy(ifr.ifr_name, "lo");
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  EXPECT_EQ(ioctl(s, SIOCGIFFLAGS, &ifr), 0) << strerror(errno);
  ifr.ifr_flags |= IFF_UP;
  EXPECT_EQ(ioctl(s, SIOCSIFFLAGS, &ifr), 0) << "loopback: " << strerror(errno);
  close(s);
  return true;
}

Area::Area() {
  chmod(path().c_str(), 0755);
  mkdir(spool().c_str(), 0755);
  mkdir(requests().c_str(), 0755);
}

void Area::WriteConf(const std::string& host, const std::string& requestDir) const {
  WriteFile(*this / "cconf", host + "\n/print/\n" + requestDir + "\n");
}

Launch Area::Client(const std::string& program, std::vector<std::string> args,
                    std::vector<std::string> env) const {
  return {program[0] == '/' ? program : E2E_BIN "/" + program, std::move(args), path(), std::move(env), {}};
}

Launch Area::StubbedClient(std::vector<std::string> args, std::vector<std::string> env,
                           const std::string& program) const {
  const std::string stubs = StubBinDir();
  env.insert(env.begin(), {"PATH=" + stubs + "/faulty:" + stubs + ":" + getenv("PATH"),
                           "RCP_ROOT=" + *this / "hosts", "FAULT_LOG=" + *this / "calls",
                           "FAULT_PIDS=" + *this / "stub-pids"});
  return Client(program, std::move(args), std::move(env));
}

std::vector<std::string> Area::Requests(const std::string& dir) {
  std::vector<std::string> found;
  for (const std::string& name : ListDir(dir))
    if (name.rfind(prclient::kControlPrefix, 0) == 0) found.push_back(name);
  return found;
}

void AreaTest::SetUpTestSuite() {
  prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
  const rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
}

void AreaTest::SetUp() {
  area_.WriteConf(HostName(), area_.requests() + "/");
  std::filesystem::create_directories(area_ / "hosts/ctlhost" + area_.requests());
  std::filesystem::create_directories(area_ / "hosts/bare");
}

int AreaTest::Fetches() const {
  std::istringstream calls(ReadFile(area_ / "calls"));
  int n = 0;
  for (std::string call; std::getline(calls, call);)
    n += call.rfind("cp ", 0) == 0 || (call.rfind("rcp ", 0) == 0 && call.find(':') < call.find('/'));
  return n;
}

void AreaTest::TearDown() {
  EXPECT_TRUE(ListDir(area_.spool()).empty()) << "left in the scratch directory";
  EXPECT_TRUE(ReapAll(Millis(5000))) << "processes left running";
}

}  // namespace testutil
