// The job and queue listings. Every listing opens with one line that
// restates what was asked for, quoting the values as the client gave them
// ("Jobs matching name "job17": 2", "No jobs matching status "held""), so the
// reader, or a program that sent many requests, can tell which request a
// reply answers.
#ifndef PRCONTROLLER_LISTING_H_
#define PRCONTROLLER_LISTING_H_

#include <ctime>

#include "query.h"
#include "reply.h"
#include "state.h"

namespace prcontroller {

// Status kStatusOk with the listing, or kStatusNoMatch when no job
// matched, or kStatusNoQueue when -p names no queue at all. `now` is what
// job ages count from.
Reply ListJobs(const JobQuery& query, const SpoolState& state, std::time_t now);

// The same for queues.
Reply ListQueues(const QueueQuery& query, const SpoolState& state);

const char* JobHelpText();
const char* QueueHelpText();

}  // namespace prcontroller

#endif  // PRCONTROLLER_LISTING_H_
