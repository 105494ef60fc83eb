// From a parsed request to the reply it gets: the request name picks the
// listing, the arguments become its options.
#ifndef PRCONTROLLER_ANSWER_H_
#define PRCONTROLLER_ANSWER_H_

#include <ctime>
#include <string_view>

#include "reply.h"
#include "request.h"
#include "state_source.h"

namespace prcontroller {

// Answers "prwatch" (jobs) and "prbay" (queues), asking `source` for the
// part of the spool the listing needs; help is given without asking.
Reply Answer(const Request& request, StateSource& source, std::time_t now);

// The reply to a file that is not a valid request.
Reply MalformedReply(std::string_view why);

}  // namespace prcontroller

#endif  // PRCONTROLLER_ANSWER_H_
