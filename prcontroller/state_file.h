// The spool state file, re-read only when it changed, so answering a
// request costs one stat() rather than a parse.
#ifndef PRCONTROLLER_STATE_FILE_H_
#define PRCONTROLLER_STATE_FILE_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "state.h"

namespace prcontroller {

class StateFile {
 public:
  using Logger = std::function<void(std::string_view)>;

  // An empty path stands for an empty spool: no queues, no jobs.
  StateFile(std::string path, Logger log);

  // The current state, re-reading the file when its identity, size or
  // modification time differ from the last read. When the file cannot be
  // read, the last state read stays in use; null when there never was one,
  // with the reason in problem().
  const SpoolState* Current();
  const std::string& problem() const { return problem_; }

  // Reads the file again whether or not it looks changed (SIGHUP).
  void Reread();

 private:
  struct Stamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    std::time_t mtime_s = 0;
    long mtime_ns = 0;
    static Stamp Of(const struct stat& st);
    bool operator==(const Stamp& o) const {
      return dev == o.dev && ino == o.ino && size == o.size &&
             mtime_s == o.mtime_s && mtime_ns == o.mtime_ns;
    }
  };

  void Reload();
  // Reads the whole file into *text, again while it changes under the read,
  // so no answer comes from a file half rewritten in place.
  bool ReadSettled(std::string* text, Stamp* stamp, std::string* err) const;

  std::string path_;
  Logger log_;
  std::optional<SpoolState> state_;
  std::optional<Stamp> stamp_;  // of the content in state_
  std::string problem_;
  std::string last_failure_;  // logged once, not on every request
};

}  // namespace prcontroller

#endif  // PRCONTROLLER_STATE_FILE_H_
