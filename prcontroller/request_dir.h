// The request directory: finding request files, answering the complete
// ones, giving up on those that stay incomplete, and clearing old replies.
#ifndef PRCONTROLLER_REQUEST_DIR_H_
#define PRCONTROLLER_REQUEST_DIR_H_

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "posix_util.h"
#include "log.h"
#include "reply_file.h"
#include "request.h"
#include "settings.h"
#include "state_source.h"

namespace prcontroller {

class RequestDir {
 public:
  // `dirfd` is the open request directory; every file is reached relative
  // to it, so a directory renamed under us cannot redirect a write.
  // `stopping` is asked between requests, so that a stop is not held up by
  // a long queue of them.
  RequestDir(int dirfd, const Settings& settings, StateSource* state, const Log* log,
             std::function<bool()> stopping = [] { return false; });

  // Looks at one name that may be a request: answers it when it is a
  // complete request, otherwise waits for it to change, and gives up on it
  // once it has stayed incomplete for the grace time.
  void Examine(std::string_view name);

  // Examines every request file in the directory (finding what events
  // missed, and what waited out its grace time) and removes expired
  // replies.
  void Sweep();

  // Removes the temporary files of this user that an earlier run, stopped
  // where it could not clean up, left behind. Returns how many.
  int RemoveLeftovers();

  std::size_t answered() const { return answered_; }

 private:
  using Clock = std::chrono::steady_clock;

  // What was last seen of a request file that could not be answered yet.
  struct Pending {
    ino_t ino = 0;
    off_t size = -1;
    timespec mtime{};
    Clock::time_point last_change;
    bool reported = false;  // a problem with it was logged already
    bool stuck = false;     // answered, but it could not be removed
  };

  struct Written {
    std::string name;
    FileId id;
    Clock::time_point at;
  };

  // The steps of Examine.
  bool Open(const std::string& name, prclient::Fd* fd);
  Pending& Track(const std::string& name, const struct stat& st,
                 Clock::time_point now);
  bool Stale(const Pending& p, const struct stat& st, Clock::time_point now) const;

  void Answer(const std::string& name, const Request& request, Clock::time_point start);
  void GiveUp(const std::string& name, std::string_view bytes, off_t size);
  // Writes the reply and removes the request it answers.
  bool Deliver(const std::string& name, const std::string& reply_name,
               const std::string& content);
  // Removes a request that has had its answer (or never can); one that
  // cannot be removed is remembered, so it is neither answered again nor
  // reported again.
  void Retire(const std::string& name, std::string_view what);
  void ReportOnce(const std::string& name, const std::string& problem);
  void ExpireReplies();
  // The names in the directory that `wanted` accepts; false when it cannot
  // be listed.
  bool List(bool (*wanted)(std::string_view), std::vector<std::string>* names);

  int dirfd_;
  Settings settings_;
  StateSource* state_;
  const Log* log_;
  std::function<bool()> stopping_;
  std::unordered_map<std::string, Pending> pending_;
  std::deque<Written> replies_;  // oldest first
  std::size_t answered_ = 0;
};

}  // namespace prcontroller

#endif  // PRCONTROLLER_REQUEST_DIR_H_
