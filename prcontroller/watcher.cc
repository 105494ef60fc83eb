#include "watcher.h"

#include <sys/inotify.h>

#include <cerrno>
#include <cstring>

namespace prcontroller {

using prclient::Fd;

bool DirWatcher::Start(const std::string& dir, std::string* err) {
  Fd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  // A copy ends with the close after writing (cp, rcp) or with a rename
  // into place (mv, rsync); creation is reported too, for what is made
  // without a write (links, FIFOs, directories).
  if (!fd || ::inotify_add_watch(fd.get(), dir.c_str(),
                                 IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE_SELF |
                                     IN_MOVE_SELF | IN_ONLYDIR) < 0) {
    *err = std::strerror(errno);
    return false;
  }
  fd_ = std::move(fd);
  return true;
}

DirWatcher::Result DirWatcher::Drain(
    const std::function<void(std::string_view, bool)>& on_name) {
  alignas(inotify_event) char buf[64 * 1024];
  Result result = Result::kOk;
  for (;;) {
    const ssize_t n = ::read(fd_.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return result;  // EAGAIN: drained
    }
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buf + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) result = Result::kOverflow;
      if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT))
        return Result::kGone;
      if (event->len > 0 && (event->mask & (IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO)))
        on_name(event->name, (event->mask & IN_CREATE) == 0);
    }
  }
}

}  // namespace prcontroller
