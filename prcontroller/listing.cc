#include "listing.h"

#include <fnmatch.h>

#include <cstdio>
#include <iterator>

#include "escape.h"
#include "table.h"

namespace prcontroller {
namespace {

bool Matches(const std::optional<std::string>& pattern, const std::string& text) {
  return !pattern || ::fnmatch(pattern->c_str(), text.c_str(), 0) == 0;
}

std::string HumanSize(std::uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes);
  static const char kUnits[] = "KMGTPE";
  double value = static_cast<double>(bytes) / 1024;
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < sizeof kUnits - 1) value /= 1024, ++unit;
  char buf[32];
  std::snprintf(buf, sizeof buf, value < 10 ? "%.1f%c" : "%.0f%c", value,
                kUnits[unit]);
  return buf;
}

std::string HumanAge(long long seconds) {
  if (seconds < 0) seconds = 0;
  char buf[48];
  if (seconds < 60) {
    std::snprintf(buf, sizeof buf, "%llds", seconds);
  } else if (seconds < 3600) {
    std::snprintf(buf, sizeof buf, "%lldm", seconds / 60);
  } else if (seconds < 86400) {
    std::snprintf(buf, sizeof buf, "%lldh%02lldm", seconds / 3600,
                  seconds % 3600 / 60);
  } else {
    std::snprintf(buf, sizeof buf, "%lldd%02lldh", seconds / 86400,
                  seconds % 86400 / 3600);
  }
  return buf;
}

std::string LocalTime(std::time_t when, const char* format) {
  std::tm tm{};
  char buf[64];
  if (!::localtime_r(&when, &tm) || std::strftime(buf, sizeof buf, format, &tm) == 0)
    return "?";
  return buf;
}

std::string Join(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& part : parts) {
    if (!out.empty()) out += ", ";
    out += part;
  }
  return out;
}

std::vector<std::string> JobFilters(const JobQuery& q) {
  std::vector<std::string> filters;
  if (q.ident) filters.push_back("id " + Quoted(*q.ident));
  if (q.name) filters.push_back("name " + Quoted(*q.name));
  if (q.queue) filters.push_back("queue " + Quoted(*q.queue));
  if (q.status) filters.push_back("status " + Quoted(q.status_text));
  if (q.errors_only) filters.emplace_back("in error");
  if (q.min_age)
    filters.push_back("age at least " + Quoted(q.age_text) +
                      (q.age_in_minutes ? " minutes" : ""));
  return filters;
}

// The queue's state with what a scheduler says about it, in one cell:
// "stopped, rejecting jobs (paused): Toner low". A state file's queue has
// its state alone.
std::string QueueState(const Queue& q) {
  std::string text = Visible(q.state);
  if (q.accepting == false) text += ", rejecting jobs";
  std::vector<std::string> reasons;
  for (const std::string& r : q.reasons) reasons.push_back(Visible(r));
  if (!reasons.empty()) text += " (" + Join(reasons) + ")";
  if (!q.message.empty()) text += ": " + Visible(q.message);
  return text;
}

// A pattern that names no queue at all is a different answer from a queue
// with nothing in it: the user most likely mistyped the name.
bool NoSuchQueue(const std::optional<std::string>& pattern, const SpoolState& state) {
  if (!pattern) return false;
  for (const Queue& q : state.queues)
    if (Matches(pattern, q.name)) return false;
  for (const Job& job : state.jobs)
    if (Matches(pattern, job.queue)) return false;
  return true;
}

Reply NoQueueReply(const char* who, const std::string& pattern) {
  return {kStatusNoQueue, std::string(who) + ": no queue named " + Quoted(pattern) + "\n"};
}

bool JobMatches(const JobQuery& q, const Job& job, std::time_t now) {
  return (!q.ident || *q.ident == job.id) && Matches(q.name, job.name) &&
         Matches(q.queue, job.queue) && (!q.status || *q.status == job.status) &&
         (!q.errors_only || job.status == JobStatus::kError) &&
         (!q.min_age || now - job.submitted >= *q.min_age);
}

std::string JobBlock(const Job& job, const SpoolState& state, std::time_t now) {
  std::string queue = Visible(job.queue);
  if (const Queue* q = state.FindQueue(job.queue)) {
    queue += " (" + Visible(q->state);
    if (!q->description.empty()) queue += ": " + Visible(q->description);
    queue += ")";
  }
  return "Job " + Visible(job.id) + "\n" +
         "  Name:       " + Visible(job.name) + "\n" +
         "  Owner:      " + Visible(job.owner) + "\n" +
         "  Queue:      " + queue + "\n" +
         "  Status:     " + std::string(JobStatusName(job.status)) + "\n" +
         "  Size:       " +
         (job.size_in_kib ? std::to_string(job.size / 1024) + " KiB, rounded up"
                          : std::to_string(job.size) + " bytes") +
         " (" + HumanSize(job.size) + ")\n" +
         "  Pages:      " + std::to_string(job.pages) + "\n" +
         "  Submitted:  " + LocalTime(job.submitted, "%Y-%m-%d %H:%M:%S") +
         " (" + HumanAge(now - job.submitted) + " ago)\n";
}

}  // namespace

Reply ListJobs(const JobQuery& query, const SpoolState& state, std::time_t now) {
  if (query.help) return {kStatusOk, JobHelpText()};
  if (NoSuchQueue(query.queue, state)) return NoQueueReply("prwatch", *query.queue);

  std::vector<const Job*> matched;
  for (const Job& job : state.jobs)
    if (JobMatches(query, job, now)) matched.push_back(&job);
  const std::vector<std::string> filters = JobFilters(query);

  Reply reply;
  if (matched.empty()) {
    reply.status = kStatusNoMatch;
    reply.text = filters.empty() ? "No jobs\n" : "No jobs matching " + Join(filters) + "\n";
    return reply;
  }
  const std::size_t shown =
      query.limit && *query.limit < matched.size() ? *query.limit : matched.size();
  reply.text = (filters.empty() ? "All jobs" : "Jobs matching " + Join(filters)) +
               ": " + std::to_string(matched.size());
  if (shown < matched.size()) reply.text += ", first " + std::to_string(shown) + " shown";
  reply.text += "\n";

  if (query.verbose) {
    for (std::size_t k = 0; k < shown; ++k)
      reply.text += "\n" + JobBlock(*matched[k], state, now);
    return reply;
  }
  using A = Table::Align;
  Table table = query.long_format
      ? Table({{"JOB"}, {"OWNER"}, {"QUEUE"}, {"STATUS"}, {"SIZE", A::kRight},
               {"PAGES", A::kRight}, {"SUBMITTED"}, {"AGE", A::kRight}, {"NAME"}})
      : Table({{"JOB"}, {"OWNER"}, {"QUEUE"}, {"STATUS"}, {"NAME"}});
  for (std::size_t k = 0; k < shown; ++k) {
    const Job& job = *matched[k];
    std::vector<std::string> row{Visible(job.id), Visible(job.owner),
                                 Visible(job.queue),
                                 std::string(JobStatusName(job.status))};
    if (query.long_format) {
      row.push_back(HumanSize(job.size));
      row.push_back(std::to_string(job.pages));
      row.push_back(LocalTime(job.submitted, "%Y-%m-%d %H:%M"));
      row.push_back(HumanAge(now - job.submitted));
    }
    row.push_back(Visible(job.name));
    table.AddRow(std::move(row));
  }
  reply.text += table.Render();
  return reply;
}

Reply ListQueues(const QueueQuery& query, const SpoolState& state) {
  if (query.help) return {kStatusOk, QueueHelpText()};

  std::vector<const Queue*> matched;
  for (const Queue& queue : state.queues)
    if (Matches(query.queue, queue.name)) matched.push_back(&queue);

  Reply reply;
  const std::string filter = query.queue ? " matching " + Quoted(*query.queue) : "";
  if (matched.empty() && query.queue) return NoQueueReply("prbay", *query.queue);
  if (matched.empty()) {
    reply.status = kStatusNoMatch;
    reply.text = "No queues" + filter + "\n";
    return reply;
  }
  reply.text = (query.queue ? "Queues" + filter : std::string("All queues")) +
               ": " + std::to_string(matched.size()) + "\n";

  using A = Table::Align;
  Table table = query.long_format
      ? Table({{"QUEUE"}, {"STATE"}, {"QUEUED", A::kRight}, {"PRINTING", A::kRight},
               {"HELD", A::kRight}, {"ERROR", A::kRight}, {"DONE", A::kRight},
               {"PAGES", A::kRight}, {"DESCRIPTION"}})
      : Table({{"QUEUE"}, {"STATE"}, {"JOBS", A::kRight}, {"DESCRIPTION"}});
  for (const Queue* queue : matched) {
    std::size_t by_status[std::size(kJobStatuses)] = {};
    std::uint64_t pages = 0;  // still to print
    for (const Job& job : state.jobs) {
      if (job.queue != queue->name) continue;
      ++by_status[static_cast<std::size_t>(job.status)];
      if (job.status != JobStatus::kDone) pages += job.pages;
    }
    std::vector<std::string> row{Visible(queue->name), QueueState(*queue)};
    if (query.long_format) {
      for (std::size_t count : by_status) row.push_back(std::to_string(count));
      row.push_back(std::to_string(pages));
    } else {
      std::size_t active = 0;
      for (JobStatus s : kJobStatuses)
        if (s != JobStatus::kDone) active += by_status[static_cast<std::size_t>(s)];
      row.push_back(std::to_string(queue->job_count.value_or(active)));
    }
    row.push_back(Visible(queue->description));
    table.AddRow(std::move(row));
  }
  reply.text += table.Render();
  return reply;
}

const char* JobHelpText() {
  return "prwatch lists print jobs. Options:\n"
         "  -?           this help\n"
         "  -e           only jobs in error\n"
         "  -l           long listing: size, pages, submission time and age\n"
         "  -v           every detail of each job, one block per job\n"
         "  -a AGE       only jobs waiting at least AGE minutes (or 30s, 2h, 1d)\n"
         "  -i IDENT     only the job with this id\n"
         "  -j NAME      only jobs whose name matches NAME (* and ? wildcards)\n"
         "  -n NUMBER    show at most NUMBER jobs\n"
         "  -p QUEUE     only jobs on queues matching QUEUE (* and ? wildcards)\n"
         "  -s STATUS    only jobs in STATUS: queued, printing, held, error, done\n"
         "Letters may be capitals; a value may follow its letter (-pq1).\n";
}

const char* QueueHelpText() {
  return "prbay lists printer queues. Options:\n"
         "  -?           this help\n"
         "  -l           long listing: jobs per status and pages waiting\n"
         "  -p QUEUE     only queues matching QUEUE (* and ? wildcards)\n"
         "Letters may be capitals; a value may follow its letter (-pq1).\n";
}

}  // namespace prcontroller
