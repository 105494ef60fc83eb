#include "state.h"

#include "letter_case.h"

namespace prcontroller {

std::string_view JobStatusName(JobStatus status) {
  switch (status) {
    case JobStatus::kQueued: return "queued";
    case JobStatus::kPrinting: return "printing";
    case JobStatus::kHeld: return "held";
    case JobStatus::kError: return "error";
    case JobStatus::kDone: return "done";
  }
  return "?";
}

std::optional<JobStatus> JobStatusNamed(std::string_view name) {
  const std::string lower = Lower(name);
  for (JobStatus status : kJobStatuses)
    if (JobStatusName(status) == lower) return status;
  return std::nullopt;
}

const Queue* SpoolState::FindQueue(std::string_view name) const {
  for (const Queue& queue : queues)
    if (queue.name == name) return &queue;
  return nullptr;
}

}  // namespace prcontroller
