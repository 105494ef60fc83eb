// prbench: the timing harness behind bench/run. It prints raw samples, one
// per line, tab-separated "label value..."; bench/bench.py turns them into
// tables. Every loop is bounded by a count and, where a server could stall
// it, by a time limit.
//
//   prbench poll ROUNDS HOST REMOTE_DIR SCRATCH
//       TransportFrom of a reply that is there and of one that is not, and
//       TransportTo of a request, beside the same commands spawned bare and
//       through /bin/sh
//   prbench spawn ROUNDS COMMAND_FILE [cold]
//       the commands of COMMAND_FILE (lines "label<TAB>arg<TAB>arg...") in
//       a new order each round, after one uncounted run of each (none when
//       "cold"): wall time and exit status of each run
//   prbench hwm RUNS LABEL ARG...
//       the peak resident memory of the process itself (VmHWM at its exit),
//       and what wait4 reports for it and its children
//   prbench turnaround ROUNDS REQUEST_DIR SAVE_REPLY
//       complete requests dropped into a running controller's directory,
//       each timed until its reply is in place
//   prbench load CLIENTS SECONDS ARG...
//       CLIENTS copies of a command started at one moment, SECONDS at most
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "number.h"
#include "posix_util.h"
#include "prclient.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void Die(const std::string& message) {
  std::fprintf(stderr, "prbench: %s\n", message.c_str());
  std::exit(2);
}

double MicrosSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

int Count(const char* text, const char* what) {
  const auto n = prclient::ParseInteger(text, prclient::NumberForm::kWhole, 1, 1000000);
  if (!n) Die(std::string("bad ") + what + ": " + text);
  return static_cast<int>(*n);
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!(out << content)) Die("cannot write " + path);
}

std::vector<char*> Argv(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

int ExitCode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

// The cases of a round in a new order each time, so that none always
// follows the same other one and inherits what it left in the caches.
class RoundOrder {
 public:
  explicit RoundOrder(std::size_t cases) : order_(cases) {
    std::iota(order_.begin(), order_.end(), std::size_t{0});
  }
  const std::vector<std::size_t>& Next() {
    std::shuffle(order_.begin(), order_.end(), random_);
    return order_;
  }

 private:
  std::vector<std::size_t> order_;
  std::mt19937 random_{20240501};
};

class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&a_); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&a_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  void Open(int fd, const std::string& path, int flags) {
    posix_spawn_file_actions_addopen(&a_, fd, path.c_str(), flags, 0);
  }
  const posix_spawn_file_actions_t* get() const { return &a_; }

 private:
  posix_spawn_file_actions_t a_;
};

// `cmd` spawned and waited for in the plainest way: the same words,
// redirections and umask the library gives it, no shell. Its exit code.
int Run(const prclient::Command& cmd) {
  SpawnActions actions;
  if (!cmd.input.empty()) actions.Open(0, cmd.input, O_RDONLY);
  if (cmd.discardStdout) actions.Open(1, "/dev/null", O_WRONLY);
  if (cmd.discardStderr) actions.Open(2, "/dev/null", O_WRONLY);
  std::vector<char*> argv = Argv(cmd.argv);
  const mode_t mask = cmd.umask >= 0 ? ::umask(static_cast<mode_t>(cmd.umask)) : 0;
  pid_t pid = 0;
  const int error = posix_spawnp(&pid, argv[0], actions.get(), nullptr, argv.data(), environ);
  if (cmd.umask >= 0) ::umask(mask);
  if (error != 0) Die("cannot start " + cmd.argv[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) Die("waitpid failed");
  return ExitCode(status);
}

int Poll(int rounds, const std::string& host, const std::string& remote,
         const std::string& scratch) {
  const std::string dir = remote + "/", request = scratch + "/request";
  const std::string fetchedPath = scratch + "/fetched";
  const char* fetched = fetchedPath.c_str();
  WriteFile(request, std::string(prclient::kRequestSize, 'x'));
  WriteFile(dir + "bench-reply", "0\nreply\n");
  const char* h = host.c_str();
  const char* d = dir.c_str();
  const char* sent = request.c_str();
  const auto from = prclient::TransportFromCommand(h, d, "bench-reply", fetched);
  const auto to = prclient::TransportToCommand(h, d, "bench-request", sent);
  if (!from || !to) Die("no transport command for these paths");
  if (from->argv[0] != "cp")
    Die(host + " is not this host's name: the transport would not be a local copy");
  const auto shell = [](const prclient::Command& cmd) {
    prclient::Command sh;
    sh.argv = {"/bin/sh", "-c", prclient::CommandText(cmd)};
    return sh;
  };
  const prclient::Command fromShell = shell(*from), toShell = shell(*to);
  struct Case {
    const char* label;
    std::function<bool()> run;  // true when it did what it should
  };
  const std::vector<Case> cases = {
      {"from_lib", [&] { return prclient::TransportFrom(h, d, "bench-reply", fetched, 1) == 0; }},
      {"from_cp", [&] { return Run(*from) == 0; }},
      {"from_sh", [&] { return Run(fromShell) == 0; }},
      {"missing_lib", [&] { return prclient::TransportFrom(h, d, "missing", fetched, 1) != 0; }},
      {"to_lib", [&] { return prclient::TransportTo(h, d, "bench-request", sent, 1) == 0; }},
      {"to_cp", [&] { return Run(*to) == 0; }},
      {"to_sh", [&] { return Run(toShell) == 0; }},
  };
  for (const Case& c : cases)  // once each to warm the caches
    if (!c.run()) Die(std::string(c.label) + " failed");
  RoundOrder order(cases.size());
  for (int r = 0; r < rounds; ++r) {
    for (std::size_t k : order.Next()) {
      const auto start = Clock::now();
      if (!cases[k].run()) Die(std::string(cases[k].label) + " failed");
      std::printf("%s\t%.1f\n", cases[k].label, MicrosSince(start));
    }
  }
  std::printf("command\tfrom\t%s\n", prclient::CommandText(*from).c_str());
  std::printf("command\tto\t%s\n", prclient::CommandText(*to).c_str());
  return 0;
}

int Spawn(int rounds, const std::string& list_path, bool warm) {
  std::ifstream list(list_path);
  if (!list) Die("cannot read " + list_path);
  std::vector<std::pair<std::string, prclient::Command>> commands;
  for (std::string line; std::getline(list, line);) {
    std::vector<std::string> words;
    std::stringstream in(line);
    for (std::string w; std::getline(in, w, '\t');) words.push_back(w);
    if (words.size() < 2) Die("a line without a command: " + line);
    prclient::Command cmd;
    cmd.argv.assign(words.begin() + 1, words.end());
    cmd.input = "/dev/null";
    cmd.discardStdout = cmd.discardStderr = true;
    commands.emplace_back(words[0], cmd);
  }
  if (commands.empty()) Die("no commands in " + list_path);
  if (warm)
    for (const auto& c : commands) Run(c.second);
  RoundOrder order(commands.size());
  for (int r = 0; r < rounds; ++r) {
    for (std::size_t k : order.Next()) {
      const auto start = Clock::now();
      const int code = Run(commands[k].second);
      std::printf("%s\t%.1f\t%d\n", commands[k].first.c_str(), MicrosSince(start), code);
    }
    std::fflush(stdout);
  }
  return 0;
}

// The child's standard streams on /dev/null, then `args` run in its place.
[[noreturn]] void ExecQuietly(const std::vector<std::string>& args) {
  const int null = ::open("/dev/null", O_RDWR);
  for (int fd = 0; fd < 3; ++fd) ::dup2(null, fd);
  std::vector<char*> argv = Argv(args);
  ::execvp(argv[0], argv.data());
  ::_exit(127);
}

long StatusField(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field + ":", 0) == 0)
      return prclient::ParseInteger(line.substr(field.size() + 1), prclient::NumberForm::kPrefix, 0,
                                    1LL << 40).value_or(-1);
  return -1;
}

// The child stops at its exit with its memory still mapped, so VmHWM then is
// the peak of that process alone; its copy commands are not traced.
int Hwm(int runs, const std::string& label, const std::vector<std::string>& args) {
  for (int r = 0; r < runs; ++r) {
    const pid_t pid = ::fork();
    if (pid < 0) Die("fork failed");
    if (pid == 0) {
      if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(125);
      ExecQuietly(args);
    }
    long hwm = -1;
    int status = 0;
    rusage ru{};
    for (bool first = true;;) {
      if (::wait4(pid, &status, 0, &ru) < 0) {
        if (errno == EINTR) continue;
        Die("wait4 failed");
      }
      if (!WIFSTOPPED(status)) break;
      long deliver = 0;
      if (first) {
        first = false;
        ::ptrace(PTRACE_SETOPTIONS, pid, nullptr,
                 reinterpret_cast<void*>(PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL));
      } else if ((status >> 8) == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
        hwm = StatusField(pid, "VmHWM");
      } else {
        deliver = WSTOPSIG(status);
      }
      ::ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(deliver));
    }
    std::printf("%s\t%ld\t%ld\t%d\n", label.c_str(), hwm, ru.ru_maxrss, ExitCode(status));
  }
  return 0;
}

// Each request is written under a name the controller ignores and renamed
// into place, so it is complete from the moment it appears; the clock runs
// from the rename until the reply's rename into place is seen.
int Turnaround(int rounds, const std::string& dir, const std::string& save_reply) {
  const prclient::Fd ino(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  if (!ino || ::inotify_add_watch(ino.get(), dir.c_str(), IN_MOVED_TO) < 0)
    Die("inotify on " + dir + ": " + std::strerror(errno));
  const std::string temp = dir + "/.prbench-request";
  const unsigned long tag = static_cast<unsigned long>(::getpid()) % 0x10000;
  for (int r = 0; r < rounds; ++r) {
    prclient::RequestRecord rec;
    std::snprintf(rec.controlName, sizeof rec.controlName, "spr%06x", r & 0xffffff);
    std::snprintf(rec.replyName, sizeof rec.replyName, "b%04lx%06x", tag, r & 0xffffff);
    std::strcpy(rec.requestName, "prwatch");
    rec.wordCount = 1;
    rec.words[0] = rec.requestName;
    WriteFile(temp, prclient::RequestImage(rec));
    const std::string reply = dir + "/" + rec.replyName;
    const auto start = Clock::now();
    if (::rename(temp.c_str(), (dir + "/" + rec.controlName).c_str()) != 0)
      Die("rename: " + std::string(std::strerror(errno)));
    alignas(inotify_event) char buf[16 * 1024];
    for (bool seen = false; !seen;) {
      pollfd ready{ino.get(), POLLIN, 0};
      const int left_ms = 10000 - static_cast<int>(MicrosSince(start) / 1000);
      if (left_ms <= 0 || ::poll(&ready, 1, left_ms) == 0)
        Die("no reply in 10 s: is the controller running?");
      const ssize_t n = ::read(ino.get(), buf, sizeof buf);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) Die("inotify read failed");
      for (ssize_t at = 0; at < n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        seen = seen || (ev->len > 0 && std::strcmp(ev->name, rec.replyName) == 0);
      }
    }
    std::printf("turnaround\t%.1f\n", MicrosSince(start));
    if (r + 1 == rounds && ::rename(reply.c_str(), save_reply.c_str()) != 0)
      Die("cannot keep the last reply as " + save_reply);
    ::unlink(reply.c_str());
  }
  return 0;
}

// The clients are forked first and held at a pipe; closing it releases them
// all at one moment, so their start is not spread over the time it takes
// one process to start hundreds while they already run.
int Load(int clients, int seconds, const std::vector<std::string>& args) {
  int gate[2];
  if (::pipe(gate) != 0) Die("pipe failed");
  sigset_t chld;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  sigprocmask(SIG_BLOCK, &chld, nullptr);
  std::vector<pid_t> pids;
  for (int i = 0; i < clients; ++i) {
    const pid_t pid = ::fork();
    if (pid < 0) {
      for (pid_t p : pids) ::kill(p, SIGKILL);
      Die("fork failed");
    }
    if (pid == 0) {
      ::close(gate[1]);
      char c;
      while (::read(gate[0], &c, 1) < 0 && errno == EINTR) {
      }
      sigprocmask(SIG_UNBLOCK, &chld, nullptr);
      ExecQuietly(args);
    }
    pids.push_back(pid);
  }
  const auto begin = Clock::now();
  ::close(gate[1]);
  ::close(gate[0]);
  const auto deadline = begin + std::chrono::seconds(seconds);
  for (int left = clients; left > 0;) {
    int status = 0;
    const pid_t pid = ::waitpid(-1, &status, WNOHANG);
    if (pid < 0 && errno != EINTR) Die("waitpid failed");
    if (pid > 0) {
      --left;
      std::printf("client\t0\t%.1f\t%d\n", MicrosSince(begin), ExitCode(status));
    } else if (Clock::now() > deadline) {
      for (pid_t p : pids) ::kill(p, SIGTERM);  // ended and counted
      std::printf("timeout\t%d\n", left);
      break;
    } else {
      const timespec tick{0, 50 * 1000 * 1000};
      sigtimedwait(&chld, nullptr, &tick);
    }
  }
  while (::waitpid(-1, nullptr, 0) > 0) {
  }
  std::printf("last\t%.1f\n", MicrosSince(begin));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "";
  const std::vector<std::string> rest(argv + std::min(argc, 4), argv + argc);
  if (what == "poll" && argc == 6) return Poll(Count(argv[2], "rounds"), argv[3], argv[4], argv[5]);
  if (what == "spawn" && (argc == 4 || (argc == 5 && std::strcmp(argv[4], "cold") == 0)))
    return Spawn(Count(argv[2], "rounds"), argv[3], argc == 4);
  if (what == "hwm" && argc >= 5)
    return Hwm(Count(argv[2], "runs"), argv[3], std::vector<std::string>(argv + 4, argv + argc));
  if (what == "turnaround" && argc == 5)
    return Turnaround(Count(argv[2], "rounds"), argv[3], argv[4]);
  if (what == "load" && argc >= 5)
    return Load(Count(argv[2], "clients"), Count(argv[3], "seconds"), rest);
  Die("usage: prbench poll|spawn|hwm|turnaround|load ... (see bench/prbench.cc)");
}
