// Where the listings come from: the state file, or a CUPS scheduler asked
// at the moment a request is answered. Both give the same SpoolState, so a
// listing reads the same whichever source the controller was started with.
#ifndef PRCONTROLLER_STATE_SOURCE_H_
#define PRCONTROLLER_STATE_SOURCE_H_

#include <ctime>
#include <string>
#include <utility>

#include "state.h"

namespace prcontroller {

// What one listing needs. A scheduler is asked for no more than that, which
// keeps a large job history from slowing down every request; the state
// file, already in memory, hands over everything.
struct StateScope {
  bool queues = true;
  bool jobs = true;
  bool finished = true;    // jobs that ended (done, aborted)
  bool unfinished = true;  // jobs still to print or stopped
  bool pages = true;       // the jobs' page counts, which cost a scheduler most
  // When the request was complete: it is answered from nothing older.
  timespec asked{};
};

class StateSource {
 public:
  virtual ~StateSource() = default;
  // The spool now, or null with the reason, one line, in `problem`. The
  // state stays valid until the next call.
  virtual const SpoolState* Current(const StateScope& scope, std::string* problem) = 0;
  // Reads the source again, changed or not (SIGHUP).
  virtual void Reread() {}
};

// A state already in hand, or the reason there is none (null `state`):
// what a test or a fuzz target answers from.
class FixedSource : public StateSource {
 public:
  FixedSource(const SpoolState* state, std::string problem)
      : state_(state), problem_(std::move(problem)) {}
  const SpoolState* Current(const StateScope&, std::string* problem) override {
    if (!state_) *problem = problem_;
    return state_;
  }

 private:
  const SpoolState* state_;
  std::string problem_;
};

}  // namespace prcontroller

#endif  // PRCONTROLLER_STATE_SOURCE_H_
