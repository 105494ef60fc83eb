#include "state_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "fd.h"

namespace prcontroller {
namespace {

bool ReadAll(int fd, std::string* out) {
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out->append(buf, static_cast<std::size_t>(n));
  }
}

}  // namespace

StateFile::StateFile(std::string path, Logger log)
    : path_(std::move(path)), log_(std::move(log)) {
  if (path_.empty()) state_.emplace();
}

const SpoolState* StateFile::Current() {
  if (!path_.empty()) Reload();
  return state_ ? &*state_ : nullptr;
}

void StateFile::Reload() {
  struct stat st {};
  std::string failure;
  if (::stat(path_.c_str(), &st) != 0) {
    failure = "cannot read state file " + path_ + ": " + std::strerror(errno);
  } else {
    const Stamp now{st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec,
                    st.st_mtim.tv_nsec};
    if (stamp_ && *stamp_ == now) return;

    Fd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    std::string text;
    struct stat read_st {};
    if (!fd || ::fstat(fd.get(), &read_st) != 0 || !S_ISREG(read_st.st_mode) ||
        !ReadAll(fd.get(), &text)) {
      failure = "cannot read state file " + path_ + ": " +
                (fd && !S_ISREG(read_st.st_mode) ? "not a regular file"
                                                 : std::strerror(errno));
    } else {
      std::vector<StateProblem> problems;
      state_ = ParseState(text, std::time(nullptr), &problems);
      // The stamp of what was actually read, so a change during the read
      // is seen next time.
      stamp_ = Stamp{read_st.st_dev, read_st.st_ino, read_st.st_size,
                     read_st.st_mtim.tv_sec, read_st.st_mtim.tv_nsec};
      for (const StateProblem& p : problems)
        log_(path_ + ":" + std::to_string(p.line) + ": skipped: " + p.message);
      log_("read state file " + path_ + ": " +
           std::to_string(state_->queues.size()) + " queues, " +
           std::to_string(state_->jobs.size()) + " jobs");
      problem_.clear();
      last_failure_.clear();
      return;
    }
  }
  if (failure != last_failure_) {
    log_(failure + (state_ ? "; keeping the last state read" : ""));
    last_failure_ = failure;
  }
  // A file that comes back is read again whatever its stamp.
  stamp_.reset();
  if (!state_) problem_ = failure;
}

}  // namespace prcontroller
