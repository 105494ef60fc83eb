// The options a client forwards with its request, read the way getopt
// would: each option letter in either case, flags may share one word
// ("-lv"), and a value follows its letter in the same word ("-pq1") or as
// the next word ("-p q1"). The last of a repeated option counts.
#ifndef PRCONTROLLER_QUERY_H_
#define PRCONTROLLER_QUERY_H_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "state.h"

namespace prcontroller {

// prwatch: -? -e -l -v -a<age> -i<ident> -j<name> -n<number> -p<queue>
// -s<status>.
struct JobQuery {
  bool help = false;         // -?
  bool errors_only = false;  // -e
  bool long_format = false;  // -l
  bool verbose = false;      // -v
  std::optional<std::string> ident;  // -i, exact job id
  std::optional<std::string> name;   // -j, shell pattern on the job name
  std::optional<std::string> queue;  // -p, shell pattern on the queue name
  std::optional<JobStatus> status;   // -s
  std::string status_text;           //     as given, to restate it
  std::optional<long long> min_age;  // -a, seconds a job has waited at least
  std::string age_text;              //     as given
  bool age_in_minutes = false;       //     a bare number, so in minutes
  std::optional<std::size_t> limit;  // -n, jobs shown at most
};

// prbay: -? -l -p<queue>.
struct QueueQuery {
  bool help = false;
  bool long_format = false;
  std::optional<std::string> queue;  // shell pattern on the queue name
};

// Fill `query` from the request's arguments; false on a misuse, with one
// line in *err saying what is wrong (user text in it already made visible).
bool ParseJobOptions(const std::vector<std::string>& args, JobQuery* query,
                     std::string* err);
bool ParseQueueOptions(const std::vector<std::string>& args, QueueQuery* query,
                       std::string* err);

}  // namespace prcontroller

#endif  // PRCONTROLLER_QUERY_H_
