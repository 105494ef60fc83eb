// From a parsed request to the reply it gets: the request name picks the
// listing, the arguments become its options.
#ifndef PRCONTROLLER_ANSWER_H_
#define PRCONTROLLER_ANSWER_H_

#include <ctime>
#include <string_view>

#include "reply.h"
#include "request.h"
#include "state.h"

namespace prcontroller {

// Answers "prwatch" (jobs) and "prbay" (queues). `state` is null when the
// spool state could not be read, `state_problem` then saying why; help is
// given without it.
Reply Answer(const Request& request, const SpoolState* state,
             std::string_view state_problem, std::time_t now);

// The reply to a file that is not a valid request.
Reply MalformedReply(std::string_view why);

}  // namespace prcontroller

#endif  // PRCONTROLLER_ANSWER_H_
