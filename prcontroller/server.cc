#include "server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "fd.h"
#include "log.h"
#include "request_dir.h"
#include "cups_source.h"
#include "state_source.h"
#include "watcher.h"

namespace prcontroller {
namespace {

using Clock = std::chrono::steady_clock;

std::string Seconds(double s) {
  std::string text = std::to_string(s);
  text.erase(text.find_last_not_of('0') + 1);
  if (text.back() == '.') text.pop_back();
  return text + " s";
}

// SIGINT and SIGTERM arrive as readable data on a descriptor, so stopping
// happens in the loop, between two requests, never inside a handler.
Fd BlockStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return Fd();
  return Fd(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
}

// How often the directory is swept: often enough to give up on stale
// requests close to their grace time, and, when polling, to find requests.
Clock::duration SweepInterval(const Settings& s, bool polling) {
  double seconds = std::clamp(s.grace_s / 4, 0.01, 0.5);
  if (polling) seconds = std::min(seconds, s.poll_interval_s);
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(seconds));
}

}  // namespace

int RunController(const Settings& settings) {
  const Log log(settings.quiet);
  Fd dir(::open(settings.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) {
    log.Error("cannot open request directory " + settings.dir + ": " +
                std::strerror(errno));
    return 1;
  }
  const auto problem = [&log](std::string_view message) { log.Problem(message); };
  std::unique_ptr<StateSource> state;
  if (settings.cups) {
    std::string err;
    state = OpenCupsSource(*settings.cups, problem, &err);
    if (!state) {
      log.Problem(err);
      return 1;
    }
  } else {
    state = std::make_unique<FileSource>(settings.state_path, problem);
    if (settings.state_path.empty()) log.Notice("no --state file: every listing is empty");
  }
  // Asked now, so a source that cannot be used is in the log at start
  // rather than at the first request.
  std::string unusable;
  state->Current(StateScope{}, &unusable);
  RequestDir requests(dir.get(), settings, state.get(), &log);

  if (settings.once) {
    requests.Sweep();
    log.Event("answered " + std::to_string(requests.answered()) +
              " requests in " + settings.dir + "; exiting (--once)");
    // Every answer was a refusal; a script running --once should know.
    return state->Current(StateScope{}, &unusable) ? 0 : 1;
  }

  Fd signals = BlockStopSignals();
  if (!signals) {
    log.Error(std::string("cannot receive SIGINT and SIGTERM: ") +
                std::strerror(errno));
    return 1;
  }
  DirWatcher watcher;
  std::string why_not;
  const bool watching = !settings.poll && watcher.Start(settings.dir, &why_not);
  if (!settings.poll && !watching)
    log.Problem("inotify unavailable (" + why_not + "); polling instead");
  log.Notice("serving " + settings.dir + (watching ? " with inotify" : " by polling") +
              ", grace " + Seconds(settings.grace_s) + ", replies kept " +
              Seconds(settings.reply_age_s));

  const Clock::duration interval = SweepInterval(settings, !watching);
  requests.Sweep();  // whatever arrived before we started
  Clock::time_point next_sweep = Clock::now() + interval;
  const auto on_name = [&requests](std::string_view name) { requests.Examine(name); };

  for (;;) {
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
        next_sweep - Clock::now());
    pollfd fds[2] = {{signals.get(), POLLIN, 0}, {watcher.fd(), POLLIN, 0}};
    const int ready = ::poll(fds, watching ? 2 : 1,
                             static_cast<int>(std::max<long long>(wait.count() + 1, 0)));
    if (ready < 0 && errno != EINTR) {
      log.Error(std::string("poll failed: ") + std::strerror(errno));
      return 1;
    }
    if (ready > 0 && (fds[0].revents & POLLIN)) {
      signalfd_siginfo info{};
      const ssize_t got = ::read(signals.get(), &info, sizeof info);
      const char* which = got == sizeof info && info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM";
      log.Notice(std::string("stopping on ") + which + " after " +
                  std::to_string(requests.answered()) + " requests");
      return 0;
    }
    if (watching && ready > 0 && (fds[1].revents & POLLIN)) {
      switch (watcher.Drain(on_name)) {
        case DirWatcher::Result::kOk:
          break;
        case DirWatcher::Result::kOverflow:
          log.Problem("inotify queue overflowed; scanning the directory");
          requests.Sweep();
          break;
        case DirWatcher::Result::kGone:
          log.Error("request directory " + settings.dir + " was removed or moved");
          return 1;
      }
    }
    if (Clock::now() >= next_sweep) {
      requests.Sweep();
      next_sweep = Clock::now() + interval;
    }
  }
}

}  // namespace prcontroller
