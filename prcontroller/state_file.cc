#include "state_file.h"

#include <fcntl.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "posix_util.h"

namespace prcontroller {

using prclient::Fd;

namespace {

// A file changed this recently may be in the middle of a rewrite even when
// it did not change while it was read: its writer may be between two
// writes, or waiting on the disk. One that stops short of its final newline
// surely is, and is given far longer. A writer that stalls longer than that
// can still be read half-written; writing a new file and renaming it into
// place never can.
constexpr std::chrono::milliseconds kSettle(100);
constexpr std::chrono::milliseconds kSettleCut(2000);
constexpr int kReadAttempts = 8;
// Far more than any spool holds; a bound, so a wrong path (a device, a
// growing log) cannot take all memory.
constexpr std::size_t kMaxStateFile = std::size_t{1} << 30;

bool RecentlyChanged(const struct stat& st, std::chrono::milliseconds settle) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const auto age = std::chrono::seconds(now.tv_sec - st.st_mtim.tv_sec) +
                   std::chrono::nanoseconds(now.tv_nsec - st.st_mtim.tv_nsec);
  // A time in the future is a clock set oddly, not a write under way.
  return age >= age.zero() && age < settle;
}

}  // namespace

StateFile::Stamp StateFile::Stamp::Of(const struct stat& st) {
  return Stamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

StateFile::StateFile(std::string path, Logger log)
    : path_(std::move(path)), log_(std::move(log)) {
  if (path_.empty()) state_.emplace();
}

const SpoolState* StateFile::Current() {
  if (!path_.empty()) Reload();
  return state_ ? &*state_ : nullptr;
}

void StateFile::Reread() {
  stamp_.reset();
  last_failure_.clear();
  Current();
}

bool StateFile::ReadSettled(std::string* text, Stamp* stamp, std::string* err) const {
  Fd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat before {};
  if (!fd || ::fstat(fd.get(), &before) != 0) {
    *err = std::strerror(errno);
    return false;
  }
  if (!S_ISREG(before.st_mode)) {
    *err = "not a regular file";
    return false;
  }
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(kSettle / 4);
    struct stat after {};
    if (::lseek(fd.get(), 0, SEEK_SET) != 0) {
      *err = std::strerror(errno);
      return false;
    }
    if (!prclient::ReadAll(fd.get(), text, kMaxStateFile, err)) return false;
    if (::fstat(fd.get(), &after) != 0) {
      *err = std::strerror(errno);
      return false;
    }
    const Stamp then = Stamp::Of(before);
    before = after;
    if (then == Stamp::Of(after) &&
        text->size() == static_cast<std::size_t>(after.st_size) &&
        !RecentlyChanged(after, !text->empty() && text->back() == '\n' ? kSettle : kSettleCut)) {
      *stamp = then;
      return true;
    }
  }
  *err = "it kept changing while being read";
  return false;
}

void StateFile::Reload() {
  struct stat st {};
  std::string failure;
  if (::stat(path_.c_str(), &st) != 0) {
    failure = std::strerror(errno);
  } else {
    if (stamp_ && *stamp_ == Stamp::Of(st)) return;
    std::string text;
    Stamp read_stamp;
    if (ReadSettled(&text, &read_stamp, &failure)) {
      std::vector<StateProblem> problems;
      state_ = ParseState(text, std::time(nullptr), &problems);
      stamp_ = read_stamp;
      for (const StateProblem& p : problems)
        log_(path_ + ":" + std::to_string(p.line) + ": skipped: " + p.message);
      log_("read state file " + path_ + ": " + std::to_string(state_->queues.size()) +
           " queues, " + std::to_string(state_->jobs.size()) + " jobs");
      problem_.clear();
      last_failure_.clear();
      return;
    }
  }
  failure = "cannot read state file " + path_ + ": " + failure;
  if (failure != last_failure_) {
    log_(failure + (state_ ? "; keeping the last state read" : ""));
    last_failure_ = failure;
  }
  // A file that comes back is read again whatever its stamp.
  stamp_.reset();
  if (!state_) problem_ = failure;
}

}  // namespace prcontroller
