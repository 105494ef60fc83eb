// The spool state the controller reports on: queues and the jobs in them.
// The state file (state_file.h) and the CUPS bridge (cups_source.h) both
// fill it, so a listing reads the same whichever the controller was started
// with.
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
  std::vector<Queue> queues;  // in the order the source lists them
  std::vector<Job> jobs;      // the same, which is queue order

  const Queue* FindQueue(std::string_view name) const;
};

}  // namespace prcontroller

#endif  // PRCONTROLLER_STATE_H_
