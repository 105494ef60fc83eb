// The spool state file, which an operator (or a test) writes, and its
// reader. It is re-read only when it changed, so answering a request costs
// one stat() rather than a parse.
//
// One record per line, fields separated by blanks, "#" starts a comment:
//
//   queue NAME STATE ["DESCRIPTION"]
//   job ID QUEUE OWNER STATUS SIZE PAGES SUBMITTED "NAME"
//
// Any field may be written between double quotes, with the escapes \\ \"
// \n \t \e \xHH and \ooo, so names can hold blanks and control characters.
// STATUS is queued, printing, held, error or done; SIZE is in bytes.
// SUBMITTED is local time as 2024-05-01T09:30[:SS], seconds since the epoch,
// or a time before the file was read such as -90m (units s, m, h, d).
#ifndef PRCONTROLLER_STATE_FILE_H_
#define PRCONTROLLER_STATE_FILE_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "log.h"
#include "state.h"
#include "state_source.h"

namespace prcontroller {

struct StateProblem {
  std::size_t line;  // 1-based
  std::string message;
};

// Parses a state file's text. A line that cannot be read is skipped and
// reported in `problems`; nothing in the text makes parsing fail.
// Relative submission times count back from `reference`.
SpoolState ParseState(std::string_view text, std::time_t reference,
                      std::vector<StateProblem>* problems);

class StateFile : public StateSource {
 public:
  // An empty path stands for an empty spool: no queues, no jobs. What the
  // reads find goes to `log`, which must outlive this.
  StateFile(std::string path, const Log& log);

  // The state, re-reading the file when its identity, size or modification
  // time differ from the last read. When the file cannot be read, the last
  // state read stays in use; null when there never was one. The file holds
  // everything, so the scope makes no difference.
  const SpoolState* Current(const StateScope& scope, std::string* problem) override;
  // Reads the file again whether or not it looks changed.
  void Reread() override;

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
  const Log& log_;
  std::optional<SpoolState> state_;
  std::optional<Stamp> stamp_;  // of the content in state_
  std::string problem_;
  std::string last_failure_;  // logged once, not on every request
};

}  // namespace prcontroller

#endif  // PRCONTROLLER_STATE_FILE_H_
