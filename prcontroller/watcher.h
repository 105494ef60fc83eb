// Notice of files completed in the request directory, through inotify.
#ifndef PRCONTROLLER_WATCHER_H_
#define PRCONTROLLER_WATCHER_H_

#include <functional>
#include <string>
#include <string_view>

#include "posix_util.h"

namespace prcontroller {

class DirWatcher {
 public:
  // False, with `err` set, where inotify is not available; the caller
  // then finds requests by scanning the directory.
  bool Start(const std::string& dir, std::string* err);

  // Readable when events wait.
  int fd() const { return fd_.get(); }

  enum class Result { kOk, kOverflow, kGone };
  // Hands `on_name` each name that was closed after writing or moved into
  // the directory (`complete`), or only created there: a link, a FIFO or a
  // directory is never closed after writing. kOverflow: events were lost,
  // so the directory must be scanned; kGone: the directory itself was
  // removed or moved away.
  Result Drain(const std::function<void(std::string_view, bool complete)>& on_name);

 private:
  prclient::Fd fd_;
};

}  // namespace prcontroller

#endif  // PRCONTROLLER_WATCHER_H_
