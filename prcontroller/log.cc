#include "log.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "escape.h"

namespace prcontroller {
namespace {

void Write(std::string_view message) {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  ::localtime_r(&ts.tv_sec, &tm);
  char stamp[64];
  const std::size_t len = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  std::snprintf(stamp + len, sizeof stamp - len, ".%03ld prcontroller[%ld]: ",
                ts.tv_nsec / 1000000, static_cast<long>(::getpid()));
  // File names and state-file text reach the log too; made visible, they
  // cannot drive the terminal of whoever tails it. One write per line keeps
  // lines whole when several processes share the stream.
  const std::string line = stamp + Visible(message) + "\n";
  ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

}  // namespace

void Log::Event(std::string_view message) const {
  if (!quiet_) Write(message);
}

void Log::Problem(std::string_view message) const { Write(message); }

}  // namespace prcontroller
