#include "answer.h"

#include "escape.h"
#include "listing.h"

namespace prcontroller {
namespace {

Reply Refuse(int status, std::string_view who, std::string_view why) {
  return {status, Visible(who) + ": " + std::string(why) + "\n"};
}

// A line the client cut, or one whose word boundaries are lost, would make
// the listing answer a different question than the user asked; say so
// instead.
std::string LineProblem(const Request& request) {
  switch (request.line) {
    case Request::Line::kComplete:
      return "";
    case Request::Line::kCut:
      return "arguments cut: a request's command line holds " +
             std::to_string(prclient::kLineField) + " characters, too few for these " +
             std::to_string(request.word_count) + " words; shorten the arguments";
    case Request::Line::kAmbiguous:
      return "an argument holds a quote, a blank and a quote, so the "
             "arguments cannot be told apart; leave that sequence out";
  }
  return "";
}

StateScope ScopeOf(const JobQuery& q, const timespec& asked) {
  StateScope scope;
  scope.asked = asked;
  scope.queues = q.queue || q.verbose;  // to tell an unknown queue, to describe one
  scope.pages = q.long_format || q.verbose;
  if (q.status && !q.errors_only && *q.status != JobStatus::kError) {
    scope.finished = *q.status == JobStatus::kDone;
    scope.unfinished = !scope.finished;
  }
  return scope;
}

StateScope ScopeOf(const QueueQuery& q, const timespec& asked) {
  StateScope scope;
  scope.asked = asked;
  scope.jobs = q.long_format;  // the short listing takes the queue's own count
  return scope;
}

}  // namespace

Reply Answer(const Request& request, StateSource& source, std::time_t now) {
  const std::string& name = request.request_name;
  const bool jobs = name == "prwatch";
  if (!jobs && name != "prbay")
    return Refuse(kStatusUnknownRequest, "prcontroller",
                  "unknown request " + Quoted(name) +
                      "; this controller answers prwatch and prbay");
  if (std::string problem = LineProblem(request); !problem.empty())
    return Refuse(kStatusBadArguments, name, problem);

  JobQuery job_query;
  QueueQuery queue_query;
  std::string err;
  if (!(jobs ? ParseJobOptions(request.args, &job_query, &err)
             : ParseQueueOptions(request.args, &queue_query, &err)))
    return Refuse(kStatusBadArguments, name, err);
  if (jobs ? job_query.help : queue_query.help)
    return jobs ? ListJobs(job_query, SpoolState{}, now)
                : ListQueues(queue_query, SpoolState{});
  std::string problem;
  const SpoolState* state =
      source.Current(jobs ? ScopeOf(job_query, request.asked) : ScopeOf(queue_query, request.asked),
                     &problem);
  if (!state)
    return Refuse(kStatusNoState, name, "spool state unavailable: " + Visible(problem));
  return jobs ? ListJobs(job_query, *state, now) : ListQueues(queue_query, *state);
}

Reply MalformedReply(std::string_view why) {
  return Refuse(kStatusMalformed, "prcontroller",
                "malformed request: " + Visible(why));
}

}  // namespace prcontroller
