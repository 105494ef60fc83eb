// The request directory: finding request files, answering the complete
// ones, giving up on those that stay incomplete, and clearing old replies.
#ifndef PRCONTROLLER_REQUEST_DIR_H_
#define PRCONTROLLER_REQUEST_DIR_H_

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
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

  // Looks at a name just created: a file being written is left for its
  // close; anything else (a link, a FIFO, a directory, another name for a
  // file) is examined at once, as no close will announce it.
  void Appeared(std::string_view name);

  // Examines every request file in the directory (finding what events
  // missed, and what waited out its grace time) and removes expired
  // replies. An entry found unusable before and unchanged since is skipped
  // without a look.
  void Sweep();

  // What a sweep does, less the listing: looks again at the requests that
  // wait (incomplete, or kept for want of a descriptor or of space) and
  // removes expired replies. Enough between sweeps while events report
  // every new request.
  void Recheck();

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
    uid_t owner;          // of the request it answers
    std::uint64_t space;  // what it counts against the bounds
  };

  // Space taken by the replies kept for one requesting user.
  struct Kept {
    std::uint64_t space = 0;
    std::size_t refused = 0;  // requests refused since the bound was reached
  };

  // The steps of Examine.
  bool Open(const std::string& name, prclient::Fd* fd);
  Pending& Track(const std::string& name, const struct stat& st,
                 Clock::time_point now);
  bool Stale(const Pending& p, const struct stat& st, Clock::time_point now) const;

  void Answer(const std::string& name, uid_t owner, const Request& request,
              Clock::time_point start);
  void GiveUp(const std::string& name, uid_t owner, std::string_view bytes, off_t size);
  // Writes the reply and removes the request it answers; keeps the request
  // when descriptors or space ran out, for a later look.
  bool Deliver(const std::string& name, uid_t owner, const std::string& reply_name,
               const std::string& content);
  // Whether a reply of `space` more for `owner` stays within the bounds;
  // the first refusal while over is logged.
  bool WithinBounds(const std::string& name, uid_t owner, std::uint64_t space);
  // Removes an entry that is no request (a directory, a FIFO, a file it
  // cannot read); one it cannot remove is remembered and skipped.
  void Discard(const std::string& name, const std::string& why);
  // Removes a request that has had its answer (or never can); one that
  // cannot be removed is remembered, so it is neither answered again nor
  // reported again.
  void Retire(const std::string& name, std::string_view what);
  void ReportOnce(const std::string& name, const std::string& problem);
  void ExpireReplies();
  // The names in the directory that `wanted` accepts, with their inode
  // numbers; false when it cannot be listed.
  bool List(bool (*wanted)(std::string_view),
            std::vector<std::pair<std::string, ino_t>>* names);

  int dirfd_;
  Settings settings_;
  StateSource* state_;
  const Log* log_;
  std::function<bool()> stopping_;
  std::unordered_map<std::string, Pending> pending_;
  // Entries that are no request and could not be removed, by inode: skipped
  // until they change. Apart from pending_, which is walked twice a second.
  std::unordered_map<std::string, ino_t> junk_;
  std::deque<Written> replies_;  // oldest first
  std::unordered_map<uid_t, Kept> kept_;
  std::uint64_t kept_space_ = 0;
  std::size_t answered_ = 0;
  // A reply could not be written for want of descriptors or space: until
  // the next look at the waiting requests, no other is answered.
  bool starved_ = false;
};

}  // namespace prcontroller

#endif  // PRCONTROLLER_REQUEST_DIR_H_
