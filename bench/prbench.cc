// prbench: the timing harness behind bench/run. It measures and prints raw
// samples, one per line, tab-separated, "label value..."; bench/bench.py
// turns them into figures. Every loop here is bounded by a count and, where
// a server could stall it, by a time limit.
//
//   prbench poll ROUNDS HOST REMOTE_DIR SCRATCH
//       one TransportFrom of a missing reply and one TransportTo, against
//       the same copy commands spawned bare and through /bin/sh
//   prbench spawn ROUNDS COMMAND_FILE [cold]
//       runs the commands of COMMAND_FILE (lines "label<TAB>arg<TAB>arg...")
//       in turn, ROUNDS times, in a new order each round, after one run of
//       each that is not counted (none with "cold"); wall time, peak memory
//       and exit status of each run
//   prbench hwm RUNS LABEL ARG...
//       peak resident memory of the process itself (VmHWM at its exit),
//       and what wait4 reports for it and its children
//   prbench turnaround ROUNDS REQUEST_DIR SAVE_REPLY
//       drops complete requests into a running controller's directory and
//       times each until its reply is in place
//   prbench load CLIENTS SECONDS ARG...
//       starts CLIENTS copies of a command at the same moment and waits
//       for all, SECONDS at most
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

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <numeric>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

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

// The order of the cases in each round: shuffled, so that no case always
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

int Count(const char* text, const char* what) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value < 1 || value > 1000000) Die(std::string("bad ") + what + ": " + text);
  return static_cast<int>(value);
}

// A spawned command: its standard streams on /dev/null, no shell.
struct Spawner {
  posix_spawn_file_actions_t actions;
  Spawner() {
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  ~Spawner() { posix_spawn_file_actions_destroy(&actions); }
  Spawner(const Spawner&) = delete;
  Spawner& operator=(const Spawner&) = delete;

  pid_t Start(const std::vector<std::string>& args) const {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
      Die("cannot start " + args[0]);
    return pid;
  }
};

struct Ended {
  int status = 0;
  long maxrss_kb = 0;
};

Ended Reap(pid_t pid) {
  Ended e;
  rusage ru{};
  while (::wait4(pid, &e.status, 0, &ru) < 0)
    if (errno != EINTR) Die("wait4 failed");
  e.maxrss_kb = ru.ru_maxrss;
  return e;
}

int ExitCode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

// ---- poll ------------------------------------------------------------------

std::string ShellLine(const prclient::Command& cmd) { return prclient::CommandText(cmd); }

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) Die("cannot write " + path);
}

int Poll(int rounds, const std::string& host, const std::string& remote,
         const std::string& scratch) {
  const std::string dir = remote + "/";
  const std::string request = scratch + "/request";
  const std::string fetched = scratch + "/fetched";
  WriteFile(request, std::string(prclient::kRequestSize, 'x'));
  const char* missing = "nosuchreply";
  const char* target = "bench-request";

  const auto from = prclient::TransportFromCommand(host.c_str(), dir.c_str(), missing,
                                                   fetched.c_str());
  const auto to = prclient::TransportToCommand(host.c_str(), dir.c_str(), target,
                                               request.c_str());
  if (!from || !to) Die("no transport command for these paths");
  if (from->argv[0].find("cp") == std::string::npos)
    Die(host + " is not this host's name: the transport would not be a local copy");

  // The bare commands: the same words and redirections, spawned and waited
  // for in the plainest way.
  auto bare = [](const prclient::Command& cmd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (cmd.discardStdout) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (cmd.discardStderr) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const std::string& a : cmd.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
      Die("cannot start " + cmd.argv[0]);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
      if (errno != EINTR) Die("waitpid failed");
    return status;
  };
  auto shell = [&bare](const prclient::Command& cmd) {
    prclient::Command sh;
    sh.argv = {"/bin/sh", "-c", ShellLine(cmd)};
    return bare(sh);
  };

  struct Case {
    const char* label;
    std::function<void()> run;
  };
  const std::vector<Case> cases = {
      {"from_lib", [&] {
         if (prclient::TransportFrom(host.c_str(), dir.c_str(), missing, fetched.c_str(), 1) == 0)
           Die("a missing reply was found");
       }},
      {"from_cp", [&] { bare(*from); }},
      {"from_sh", [&] { shell(*from); }},
      {"to_lib", [&] {
         if (prclient::TransportTo(host.c_str(), dir.c_str(), target, request.c_str(), 1) != 0)
           Die("TransportTo failed");
       }},
      {"to_cp", [&] {
         if (bare(*to) != 0) Die("cp failed");
       }},
      {"to_sh", [&] { shell(*to); }},
  };
  for (const Case& c : cases) c.run();  // warm the caches once
  RoundOrder order(cases.size());
  for (int r = 0; r < rounds; ++r) {
    for (std::size_t k : order.Next()) {
      const Case& c = cases[k];
      const auto start = Clock::now();
      c.run();
      std::printf("%s\t%.1f\n", c.label, MicrosSince(start));
    }
  }
  std::printf("command\tfrom\t%s\n", prclient::CommandText(*from).c_str());
  std::printf("command\tto\t%s\n", prclient::CommandText(*to).c_str());
  return 0;
}

// ---- spawn -----------------------------------------------------------------

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> words;
  std::stringstream in(line);
  std::string w;
  while (std::getline(in, w, '\t')) words.push_back(w);
  return words;
}

int Spawn(int rounds, const std::string& list_path, bool warm) {
  std::ifstream list(list_path);
  if (!list) Die("cannot read " + list_path);
  std::vector<std::pair<std::string, std::vector<std::string>>> commands;
  for (std::string line; std::getline(list, line);) {
    if (line.empty()) continue;
    std::vector<std::string> words = SplitTabs(line);
    if (words.size() < 2) Die("a line without a command: " + line);
    const std::string label = words[0];
    words.erase(words.begin());
    commands.emplace_back(label, words);
  }
  if (commands.empty()) Die("no commands in " + list_path);
  const Spawner spawner;
  if (warm)
    for (const auto& c : commands) Reap(spawner.Start(c.second));
  RoundOrder order(commands.size());
  for (int r = 0; r < rounds; ++r) {
    for (std::size_t k : order.Next()) {
      const auto& c = commands[k];
      const auto start = Clock::now();
      const Ended e = Reap(spawner.Start(c.second));
      const double us = MicrosSince(start);
      std::printf("%s\t%.1f\t%ld\t%d\n", c.first.c_str(), us, e.maxrss_kb, ExitCode(e.status));
    }
    std::fflush(stdout);
  }
  return 0;
}

// ---- hwm -------------------------------------------------------------------

long StatusField(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  const std::size_t n = std::strlen(field);
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':')
      return std::strtol(line.c_str() + n + 1, nullptr, 10);
  return -1;
}

// The child stops at its exit with its memory still mapped, so VmHWM then is
// the peak of that process alone; its copy commands are not traced.
int Hwm(int runs, const std::string& label, const std::vector<std::string>& args) {
  for (int r = 0; r < runs; ++r) {
    const pid_t pid = ::fork();
    if (pid < 0) Die("fork failed");
    if (pid == 0) {
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
      if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(125);
      std::vector<char*> argv;
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    long hwm = -1;
    int status = 0;
    rusage ru{};
    bool first = true;
    for (;;) {
      if (::wait4(pid, &status, 0, &ru) < 0) {
        if (errno == EINTR) continue;
        Die("wait4 failed");
      }
      if (!WIFSTOPPED(status)) break;
      int deliver = 0;
      if (first) {
        first = false;
        ::ptrace(PTRACE_SETOPTIONS, pid, nullptr,
                 reinterpret_cast<void*>(PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL));
      } else if ((status >> 8) == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
        hwm = StatusField(pid, "VmHWM");
      } else {
        deliver = WSTOPSIG(status);
      }
      ::ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(deliver)));
    }
    std::printf("%s\t%ld\t%ld\t%d\n", label.c_str(), hwm, ru.ru_maxrss, ExitCode(status));
  }
  return 0;
}

// ---- turnaround ------------------------------------------------------------

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Each request is written under a name the controller ignores and renamed
// into place, so it is complete from the moment it appears; the clock runs
// from the rename until the reply's rename into place is seen.
int Turnaround(int rounds, const std::string& dir, const std::string& save_reply) {
  const int ino = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (ino < 0 || ::inotify_add_watch(ino, dir.c_str(), IN_MOVED_TO) < 0)
    Die("inotify on " + dir + ": " + std::strerror(errno));
  const std::string temp = dir + "/.prbench-request";
  const unsigned long tag = static_cast<unsigned long>(::getpid()) % 0x10000;
  std::string last_reply;
  for (int r = 0; r < rounds; ++r) {
    prclient::RequestRecord rec;
    std::snprintf(rec.controlName, sizeof rec.controlName, "spr%06x", r & 0xffffff);
    std::snprintf(rec.replyName, sizeof rec.replyName, "b%04lx%06x", tag, r & 0xffffff);
    std::strcpy(rec.requestName, "prwatch");
    rec.wordCount = 1;
    rec.words[0] = rec.requestName;
    WriteFile(temp, prclient::RequestImage(rec));
    const std::string request = dir + "/" + rec.controlName;
    const std::string reply = dir + "/" + rec.replyName;

    const auto start = Clock::now();
    if (::rename(temp.c_str(), request.c_str()) != 0)
      Die("rename: " + std::string(std::strerror(errno)));
    bool seen = false;
    alignas(inotify_event) char buf[16 * 1024];
    while (!seen) {
      pollfd ready{ino, POLLIN, 0};
      const int left_ms = 10000 - static_cast<int>(MicrosSince(start) / 1000);
      if (left_ms <= 0 || ::poll(&ready, 1, left_ms) == 0)
        Die("no reply in 10 s: is the controller running?");
      const ssize_t n = ::read(ino, buf, sizeof buf);
      if (n <= 0) {
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        Die("inotify read failed");
      }
      for (ssize_t at = 0; at < n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        if (ev->len > 0 && std::strcmp(ev->name, rec.replyName) == 0) seen = true;
      }
    }
    std::printf("turnaround\t%.1f\n", MicrosSince(start));
    if (r + 1 == rounds) last_reply = ReadAll(reply);
    ::unlink(reply.c_str());
  }
  ::close(ino);
  if (last_reply.empty()) Die("the last reply was empty");
  WriteFile(save_reply, last_reply);
  return 0;
}

// ---- load ------------------------------------------------------------------

// The clients are forked first and held at a pipe; closing it releases them
// all at the same moment, so their start is not spread over the time it
// takes one process to start hundreds while they already run.
int Load(int clients, int seconds, const std::vector<std::string>& args) {
  int gate[2];
  if (::pipe(gate) != 0) Die("pipe failed");
  sigset_t chld;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  sigprocmask(SIG_BLOCK, &chld, nullptr);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  std::vector<pid_t> pids;
  pids.reserve(static_cast<std::size_t>(clients));
  const auto prepare = Clock::now();
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
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
      sigprocmask(SIG_UNBLOCK, &chld, nullptr);
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    pids.push_back(pid);
  }
  const double prepared_us = MicrosSince(prepare);
  const auto begin = Clock::now();
  ::close(gate[1]);
  ::close(gate[0]);

  int left = clients;
  const auto deadline = begin + std::chrono::seconds(seconds);
  while (left > 0) {
    int status = 0;
    const pid_t pid = ::waitpid(-1, &status, WNOHANG);
    if (pid < 0) {
      if (errno == EINTR) continue;
      Die("waitpid failed");
    }
    if (pid > 0) {
      --left;
      std::printf("client\t0\t%.1f\t%d\n", MicrosSince(begin), ExitCode(status));
      continue;
    }
    if (Clock::now() > deadline) {
      // Bounded in time: whatever still runs is ended and counted.
      for (pid_t p : pids) ::kill(p, SIGTERM);
      std::printf("timeout\t%d\n", left);
      break;
    }
    const timespec tick{0, 50 * 1000 * 1000};
    sigtimedwait(&chld, nullptr, &tick);
  }
  while (::waitpid(-1, nullptr, 0) > 0) {
  }
  std::printf("prepared\t%.1f\n", prepared_us);
  std::printf("last\t%.1f\n", MicrosSince(begin));
  return 0;
}

[[noreturn]] void Usage() {
  Die("usage: prbench poll|spawn|hwm|turnaround|load ... (see bench/prbench.cc)");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) Usage();
  const std::string what = argv[1];
  if (what == "poll" && argc == 6) return Poll(Count(argv[2], "rounds"), argv[3], argv[4], argv[5]);
  if (what == "spawn" && (argc == 4 || (argc == 5 && std::strcmp(argv[4], "cold") == 0)))
    return Spawn(Count(argv[2], "rounds"), argv[3], argc == 4);
  if (what == "hwm" && argc >= 5)
    return Hwm(Count(argv[2], "runs"), argv[3], std::vector<std::string>(argv + 4, argv + argc));
  if (what == "turnaround" && argc == 5)
    return Turnaround(Count(argv[2], "rounds"), argv[3], argv[4]);
  if (what == "load" && argc >= 5)
    return Load(Count(argv[2], "clients"), Count(argv[3], "seconds"),
                std::vector<std::string>(argv + 4, argv + argc));
  Usage();
}
