#include "server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "posix_util.h"
#include "log.h"
#include "request_dir.h"
#include "cups_source.h"
#include "state_file.h"
#include "state_source.h"
#include "watcher.h"

namespace prcontroller {

using prclient::Fd;

namespace {

using Clock = std::chrono::steady_clock;

std::string Seconds(double s) {
  std::string text = std::to_string(s);
  text.erase(text.find_last_not_of('0') + 1);
  if (text.back() == '.') text.pop_back();
  return text + " s";
}

// With events reporting every request, the whole directory is listed this
// seldom, in case one was missed: a directory full of junk costs little.
constexpr auto kFullSweepInterval = std::chrono::seconds(60);

// How often the directory is swept: often enough to give up on stale
// requests close to their grace time, to notice the directory replaced
// within a second, and, when polling, to find requests.
Clock::duration SweepInterval(const Settings& s, bool polling) {
  double seconds = std::clamp(s.grace_s / 4, 0.01, 0.5);
  if (polling) seconds = std::min(seconds, s.poll_interval_s);
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(seconds));
}

// SIGINT, SIGTERM and SIGHUP arrive as readable data on a descriptor, so
// they are acted on in the loop, between two requests, never inside a
// handler, and a reply is never cut off half-written.
class Signals {
 public:
  bool Block(std::string* err) {
    sigemptyset(&set_);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set_, sig);
    if (sigprocmask(SIG_BLOCK, &set_, nullptr) == 0)
      fd_ = Fd(::signalfd(-1, &set_, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!fd_) *err = std::string("cannot receive signals: ") + std::strerror(errno);
    return fd_.valid();
  }
  int fd() const { return fd_.get(); }
  // Whether a stop is waiting, without taking it: asked between requests.
  static bool StopPending() {
    sigset_t pending;
    return sigpending(&pending) == 0 &&
           (sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1);
  }
  // The next signal, or 0.
  int Take() {
    signalfd_siginfo info{};
    return ::read(fd_.get(), &info, sizeof info) == sizeof info
               ? static_cast<int>(info.ssi_signo)
               : 0;
  }

 private:
  sigset_t set_{};
  Fd fd_;
};

class Server {
 public:
  Server(const Settings& settings, const Log& log) : settings_(settings), log_(log) {}
  int Run();

 private:
  bool OpenDirectory(std::string* err);
  bool Prepare(std::string* err);
  int Loop();
  // Each returns an exit status when the controller must stop.
  std::optional<int> OnSignal();
  std::optional<int> OnEvents();
  std::optional<int> CheckDirectory();

  const Settings& settings_;
  const Log& log_;
  Fd dir_;
  struct stat dir_st_ {};
  std::unique_ptr<StateSource> state_;
  std::unique_ptr<RequestDir> requests_;
  Signals signals_;
  DirWatcher watcher_;
  bool watching_ = false;
};

int Server::Run() {
  std::string err;
  if (!OpenDirectory(&err) || !Prepare(&err)) {
    log_.Error(err);
    return 1;
  }
  if (settings_.once) {
    requests_->Sweep();
    log_.Event("answered " + std::to_string(requests_->answered()) + " requests in " +
               settings_.dir + "; exiting (--once)");
    // Every answer was a refusal; a script running --once should know.
    return state_->Current(StateScope{}, &err) ? 0 : 1;
  }
  if (!signals_.Block(&err)) {
    log_.Error(err);
    return 1;
  }
  watching_ = !settings_.poll && watcher_.Start(settings_.dir, &err);
  if (!settings_.poll && !watching_)
    log_.Problem("inotify unavailable (" + err + "); polling instead");
  log_.Notice("serving " + settings_.dir + (watching_ ? " with inotify" : " by polling") +
               ", grace " + Seconds(settings_.grace_s) + ", replies kept " +
               Seconds(settings_.reply_age_s));
  return Loop();
}

bool Server::OpenDirectory(std::string* err) {
  dir_ = Fd(::open(settings_.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir_ || ::fstat(dir_.get(), &dir_st_) != 0) {
    *err = "cannot open request directory " + settings_.dir + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool Server::Prepare(std::string* err) {
  if (settings_.cups) {
    state_ = OpenCupsSource(settings_, log_, err);
    if (!state_) return false;
  } else {
    state_ = std::make_unique<StateFile>(settings_.state_path, log_);
    if (settings_.state_path.empty())
      log_.Notice("no --state file: every listing is empty");
  }
  // Problems in the source are seen at once, not at the first request.
  std::string unusable;
  state_->Current(StateScope{}, &unusable);
  requests_ = std::make_unique<RequestDir>(dir_.get(), settings_, state_.get(), &log_,
                                           &Signals::StopPending);
  if (const int removed = requests_->RemoveLeftovers(); removed > 0)
    log_.Notice("removed " + std::to_string(removed) +
                " temporary files an earlier run left in " + settings_.dir);
  return true;
}

int Server::Loop() {
  const Clock::duration interval = SweepInterval(settings_, !watching_);
  requests_->Sweep();  // whatever arrived before we started
  Clock::time_point next_sweep = Clock::now() + interval;
  Clock::time_point next_full_sweep = Clock::now() + kFullSweepInterval;
  for (;;) {
    const auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(next_sweep - Clock::now());
    pollfd fds[2] = {{signals_.fd(), POLLIN, 0}, {watcher_.fd(), POLLIN, 0}};
    const int ready = ::poll(fds, watching_ ? 2 : 1,
                             static_cast<int>(std::max<long long>(wait.count() + 1, 0)));
    if (ready < 0 && errno != EINTR) {
      log_.Error(std::string("poll failed: ") + std::strerror(errno));
      return 1;
    }
    std::optional<int> done;
    if (ready > 0 && (fds[0].revents & POLLIN)) done = OnSignal();
    if (!done && watching_ && ready > 0 && (fds[1].revents & POLLIN)) done = OnEvents();
    if (!done && Clock::now() >= next_sweep) {
      done = CheckDirectory();
      if (!done && watching_ && Clock::now() < next_full_sweep) {
        requests_->Recheck();
      } else if (!done) {
        requests_->Sweep();
        next_full_sweep = Clock::now() + kFullSweepInterval;
      }
      next_sweep = Clock::now() + interval;
    }
    if (done) return *done;
  }
}

std::optional<int> Server::OnSignal() {
  const int sig = signals_.Take();
  if (sig == SIGHUP) {
    if (settings_.cups) {
      log_.Notice("SIGHUP: the CUPS scheduler is asked at every request; nothing to re-read");
    } else if (settings_.state_path.empty()) {
      log_.Notice("SIGHUP: no state file to re-read");
    } else {
      log_.Notice("SIGHUP: re-reading state file " + settings_.state_path);
      state_->Reread();
    }
    return std::nullopt;
  }
  if (sig == 0) return std::nullopt;
  log_.Notice(std::string("stopping on ") + (sig == SIGINT ? "SIGINT" : "SIGTERM") +
               " after " + std::to_string(requests_->answered()) + " requests");
  return 0;
}

std::optional<int> Server::OnEvents() {
  const auto on_name = [this](std::string_view name, bool complete) {
    if (Signals::StopPending()) return;
    if (complete) requests_->Examine(name);
    else requests_->Appeared(name);
  };
  switch (watcher_.Drain(on_name)) {
    case DirWatcher::Result::kOk:
      return std::nullopt;
    case DirWatcher::Result::kOverflow:
      log_.Problem("inotify queue overflowed; scanning the directory");
      requests_->Sweep();
      return std::nullopt;
    case DirWatcher::Result::kGone:
      break;
  }
  log_.Error("request directory " + settings_.dir + " was removed or moved; exiting");
  return 1;
}

// Answers written into a directory that is no longer the one the clients
// see would never be found; only a restart on the new one serves them.
std::optional<int> Server::CheckDirectory() {
  struct stat now {};
  if (::stat(settings_.dir.c_str(), &now) == 0 && now.st_dev == dir_st_.st_dev &&
      now.st_ino == dir_st_.st_ino)
    return std::nullopt;
  log_.Error("request directory " + settings_.dir + " was removed, moved or replaced; exiting");
  return 1;
}

}  // namespace

int RunController(const Settings& settings) {
  const Log log(settings.quiet);
  return Server(settings, log).Run();
}

}  // namespace prcontroller
