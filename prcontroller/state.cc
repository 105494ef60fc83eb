#include "state.h"

#include <limits>
#include <unordered_set>

#include "number.h"

namespace prcontroller {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads the quoted field starting at line[*i] (the opening quote) into
// `out`, leaving *i after the closing quote.
bool ReadQuoted(std::string_view line, std::size_t* i, std::string* out,
                std::string* err) {
  std::size_t at = *i + 1;
  while (at < line.size() && line[at] != '"') {
    char c = line[at++];
    if (c != '\\') {
      *out += c;
      continue;
    }
    if (at == line.size()) break;
    c = line[at++];
    switch (c) {
      case '\\': case '"': *out += c; break;
      case 'n': *out += '\n'; break;
      case 't': *out += '\t'; break;
      case 'e': *out += '\x1b'; break;
      case 'x': {
        int value = 0, digits = 0;
        for (; digits < 2 && at < line.size() && HexValue(line[at]) >= 0; ++digits)
          value = value * 16 + HexValue(line[at++]);
        if (digits == 0) {
          *err = "\\x without hexadecimal digits";
          return false;
        }
        *out += static_cast<char>(value);
        break;
      }
      default:
        if (c >= '0' && c <= '7') {
          int value = c - '0';
          for (int digits = 1; digits < 3 && at < line.size() &&
                               line[at] >= '0' && line[at] <= '7'; ++digits)
            value = value * 8 + (line[at++] - '0');
          if (value > 0xFF) {
            *err = "octal escape above \\377";
            return false;
          }
          *out += static_cast<char>(value);
          break;
        }
        *err = std::string("unknown escape \\") + c;
        return false;
    }
  }
  if (at == line.size()) {
    *err = "unterminated quoted field";
    return false;
  }
  *i = at + 1;
  return true;
}

// Splits a line into fields; false with `error` set for a damaged one.
bool SplitFields(std::string_view line, std::vector<std::string>* fields,
                 std::string* err) {
  std::size_t i = 0;
  for (;;) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
      ++i;
    if (i == line.size() || line[i] == '#') return true;
    std::string field;
    if (line[i] == '"') {
      if (!ReadQuoted(line, &i, &field, err)) return false;
      if (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
        *err = "text right after a closing quote";
        return false;
      }
    } else {
      const std::size_t start = i;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
        ++i;
      field = std::string(line.substr(start, i - start));
    }
    fields->push_back(std::move(field));
  }
}

bool ParseCount(std::string_view text, std::uint64_t* value) {
  const auto parsed = prclient::ParseInteger(text, prclient::NumberForm::kWhole, 0,
                                             std::numeric_limits<long long>::max());
  if (!parsed) return false;
  *value = static_cast<std::uint64_t>(*parsed);
  return true;
}

long UnitSeconds(char unit) {
  switch (unit) {
    case 's': return 1;
    case 'm': return 60;
    case 'h': return 3600;
    case 'd': return 86400;
    default: return 0;
  }
}

bool ParseSubmitted(std::string_view text, std::time_t reference,
                    std::time_t* when) {
  std::uint64_t count = 0;
  if (!text.empty() && text.front() == '-') {
    if (text.size() < 3) return false;
    const long unit = UnitSeconds(text.back());
    if (unit == 0 || !ParseCount(text.substr(1, text.size() - 2), &count) ||
        count > 100000000)
      return false;
    *when = reference - static_cast<std::time_t>(count) * unit;
    return true;
  }
  if (ParseCount(text, &count)) {
    *when = static_cast<std::time_t>(count);
    return true;
  }
  const std::string copy(text);
  for (const char* format : {"%Y-%m-%dT%H:%M:%S", "%Y-%m-%dT%H:%M"}) {
    std::tm tm{};
    const char* end = strptime(copy.c_str(), format, &tm);
    if (end && *end == '\0') {
      tm.tm_isdst = -1;
      *when = std::mktime(&tm);
      return *when != static_cast<std::time_t>(-1);
    }
  }
  return false;
}

bool ReadQueue(const std::vector<std::string>& f, Queue* queue,
               std::string* err) {
  if (f.size() < 3 || f.size() > 4) {
    *err = "a queue line has NAME STATE and perhaps a DESCRIPTION";
    return false;
  }
  if (f[1].empty()) {
    *err = "empty queue name";
    return false;
  }
  queue->name = f[1];
  queue->state = f[2];
  if (f.size() == 4) queue->description = f[3];
  return true;
}

bool ReadJob(const std::vector<std::string>& f, std::time_t reference, Job* job,
             std::string* err) {
  if (f.size() != 9) {
    *err = "a job line has ID QUEUE OWNER STATUS SIZE PAGES SUBMITTED NAME";
    return false;
  }
  if (f[1].empty()) {
    *err = "empty job id";
    return false;
  }
  const auto status = JobStatusNamed(f[4]);
  if (!status) {
    *err = "unknown job status \"" + f[4] + "\"";
    return false;
  }
  if (!ParseCount(f[5], &job->size)) {
    *err = "size \"" + f[5] + "\" is not a number of bytes";
    return false;
  }
  if (!ParseCount(f[6], &job->pages)) {
    *err = "pages \"" + f[6] + "\" is not a number";
    return false;
  }
  if (!ParseSubmitted(f[7], reference, &job->submitted)) {
    *err = "submitted time \"" + f[7] + "\" is not 2024-05-01T09:30[:SS], "
             "epoch seconds or -N[smhd]";
    return false;
  }
  job->id = f[1];
  job->queue = f[2];
  job->owner = f[3];
  job->status = *status;
  job->name = f[8];
  return true;
}

}  // namespace

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
  for (JobStatus status : kJobStatuses) {
    const std::string_view known = JobStatusName(status);
    if (known.size() != name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i) {
      const char c = name[i];
      same = (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) == known[i];
    }
    if (same) return status;
  }
  return std::nullopt;
}

const Queue* SpoolState::FindQueue(std::string_view name) const {
  for (const Queue& queue : queues)
    if (queue.name == name) return &queue;
  return nullptr;
}

SpoolState ParseState(std::string_view text, std::time_t reference,
                      std::vector<StateProblem>* problems) {
  SpoolState state;
  std::vector<std::size_t> job_lines;
  std::unordered_set<std::string> queue_names, job_ids;
  auto problem = [&](std::size_t line, std::string message) {
    if (problems) problems->push_back({line, std::move(message)});
  };

  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);

    std::vector<std::string> fields;
    std::string error;
    if (!SplitFields(line, &fields, &error)) {
      problem(number, error);
      continue;
    }
    if (fields.empty()) continue;
    if (fields[0] == "queue") {
      Queue queue;
      if (!ReadQueue(fields, &queue, &error)) {
        problem(number, error);
      } else if (!queue_names.insert(queue.name).second) {
        problem(number, "queue \"" + queue.name + "\" declared twice");
      } else {
        state.queues.push_back(std::move(queue));
      }
    } else if (fields[0] == "job") {
      Job job;
      if (!ReadJob(fields, reference, &job, &error)) {
        problem(number, error);
      } else if (!job_ids.insert(job.id).second) {
        problem(number, "job id \"" + job.id + "\" used twice");
      } else {
        state.jobs.push_back(std::move(job));
        job_lines.push_back(number);
      }
    } else {
      problem(number, "unknown record \"" + fields[0] + "\"; expected queue or job");
    }
  }

  // Queues may follow the jobs that use them, so this waits for the end.
  std::vector<Job> kept;
  kept.reserve(state.jobs.size());
  for (std::size_t k = 0; k < state.jobs.size(); ++k) {
    if (queue_names.count(state.jobs[k].queue)) {
      kept.push_back(std::move(state.jobs[k]));
    } else {
      problem(job_lines[k], "job \"" + state.jobs[k].id +
                                "\" names undeclared queue \"" +
                                state.jobs[k].queue + "\"");
    }
  }
  state.jobs = std::move(kept);
  return state;
}

}  // namespace prcontroller
