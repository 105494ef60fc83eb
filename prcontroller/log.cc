#include "log.h"

#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "escape.h"
#include "number.h"

namespace prcontroller {

bool IsJournalStream(const char* journal_stream, int fd) {
  if (journal_stream == nullptr) return false;
  const std::string_view text = journal_stream;  // "DEVICE:INODE"
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  using prclient::NumberForm;
  const auto dev = prclient::ParseInteger(text.substr(0, colon), NumberForm::kWhole, 0, LLONG_MAX);
  const auto ino = prclient::ParseInteger(text.substr(colon + 1), NumberForm::kWhole, 0, LLONG_MAX);
  struct stat st {};
  return dev && ino && ::fstat(fd, &st) == 0 &&
         static_cast<unsigned long long>(st.st_dev) == static_cast<unsigned long long>(*dev) &&
         static_cast<unsigned long long>(st.st_ino) == static_cast<unsigned long long>(*ino);
}

Log::Log(bool quiet)
    : quiet_(quiet), journal_(IsJournalStream(std::getenv("JOURNAL_STREAM"), STDERR_FILENO)) {}

void Log::Write(int priority, std::string_view message) const {
  char prefix[64];
  if (journal_) {
    std::snprintf(prefix, sizeof prefix, "<%d>", priority);
  } else {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    std::tm tm{};
    ::localtime_r(&ts.tv_sec, &tm);
    const std::size_t len = std::strftime(prefix, sizeof prefix, "%Y-%m-%d %H:%M:%S", &tm);
    std::snprintf(prefix + len, sizeof prefix - len, ".%03ld prcontroller[%ld]: ",
                  ts.tv_nsec / 1000000, static_cast<long>(::getpid()));
  }
  // File names and state-file text reach the log too; made visible, they
  // cannot drive the terminal of whoever tails it, nor start a second
  // journal entry. One write per line keeps lines whole when several
  // processes share the stream.
  const std::string line = prefix + Visible(message) + "\n";
  ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

void Log::Event(std::string_view message) const {
  if (!quiet_) Write(LOG_INFO, message);
}

void Log::Notice(std::string_view message) const { Write(LOG_NOTICE, message); }

void Log::Problem(std::string_view message) const { Write(LOG_WARNING, message); }

void Log::Error(std::string_view message) const { Write(LOG_ERR, message); }

}  // namespace prcontroller
