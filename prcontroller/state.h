// The spool state the controller reports on: queues and the jobs in them,
// read from a text file that an operator (or a test) writes.
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
#ifndef PRCONTROLLER_STATE_H_
#define PRCONTROLLER_STATE_H_

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace prcontroller {

enum class JobStatus { kQueued, kPrinting, kHeld, kError, kDone };

constexpr JobStatus kJobStatuses[] = {JobStatus::kQueued, JobStatus::kPrinting,
                                      JobStatus::kHeld, JobStatus::kError,
                                      JobStatus::kDone};

std::string_view JobStatusName(JobStatus status);
// The status named `name`, in any letter case.
std::optional<JobStatus> JobStatusNamed(std::string_view name);

struct Queue {
  std::string name;
  std::string state;
  std::string description;
  // What a scheduler reports besides; a state file leaves them unset.
  std::optional<bool> accepting;
  std::vector<std::string> reasons;  // why it is in its state ("paused")
  std::string message;
  std::optional<std::size_t> job_count;  // unfinished jobs, as the scheduler counts them
};

struct Job {
  std::string id;
  std::string queue;
  std::string owner;
  JobStatus status = JobStatus::kQueued;
  std::uint64_t size = 0;
  std::uint64_t pages = 0;
  std::time_t submitted = 0;
  std::string name;
  bool size_in_kib = false;  // size known in whole KiB only, rounded up
  // What a scheduler tells to order its jobs as it prints them.
  int number = 0;              // the id as a number
  int priority = 50;           // 1 to 100, the highest first
  std::time_t completed = 0;   // when it ended
};

struct SpoolState {
  std::vector<Queue> queues;  // in file order
  std::vector<Job> jobs;      // in file order, which is queue order

  const Queue* FindQueue(std::string_view name) const;
};

struct StateProblem {
  std::size_t line;  // 1-based
  std::string message;
};

// Parses a state file's text. A line that cannot be read is skipped and
// reported in `problems`; nothing in the text makes parsing fail.
// Relative submission times count back from `reference`.
SpoolState ParseState(std::string_view text, std::time_t reference,
                      std::vector<StateProblem>* problems);

}  // namespace prcontroller

#endif  // PRCONTROLLER_STATE_H_
