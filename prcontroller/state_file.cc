#include "state_file.h"

#include <fcntl.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <limits>
#include <thread>
#include <unordered_set>

#include "number.h"
#include "posix_util.h"

namespace prcontroller {

using prclient::Fd;
using prclient::NumberForm;
using prclient::ParseInteger;

namespace {

constexpr long long kMaxNumber = std::numeric_limits<long long>::max();
// How many units back a submission time may lie: a bound that keeps the
// time far from overflow.
constexpr long long kMaxUnitsAgo = 100000000;

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

bool ParseSubmitted(std::string_view text, std::time_t reference,
                    std::time_t* when) {
  if (!text.empty() && text.front() == '-') {
    const auto ago = prclient::ParseDuration(text.substr(1), kMaxUnitsAgo, 0);
    if (!ago) return false;
    *when = reference - static_cast<std::time_t>(*ago);
    return true;
  }
  if (const auto epoch = ParseInteger(text, NumberForm::kWhole, 0, kMaxNumber)) {
    *when = static_cast<std::time_t>(*epoch);
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
  const auto size = ParseInteger(f[5], NumberForm::kWhole, 0, kMaxNumber);
  if (!size) {
    *err = "size \"" + f[5] + "\" is not a number of bytes";
    return false;
  }
  const auto pages = ParseInteger(f[6], NumberForm::kWhole, 0, kMaxNumber);
  if (!pages) {
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
  job->size = static_cast<std::uint64_t>(*size);
  job->pages = static_cast<std::uint64_t>(*pages);
  job->name = f[8];
  return true;
}

// The records read so far, with what the checks across lines need.
struct Records {
  SpoolState state;
  std::vector<std::size_t> job_lines;  // where each job in state.jobs was read
  std::unordered_set<std::string> queue_names, job_ids;
};

void Report(std::vector<StateProblem>* problems, std::size_t line, std::string message) {
  if (problems) problems->push_back({line, std::move(message)});
}

std::string_view TakeLine(std::string_view* text) {
  const std::size_t end = text->find('\n');
  const std::string_view line = text->substr(0, end);
  text->remove_prefix(end == std::string_view::npos ? text->size() : end + 1);
  return line;
}

// Adds the record on line `number` to `records`; false, with the reason in
// *err, when the line is skipped.
bool AddRecord(const std::vector<std::string>& fields, std::size_t number,
               std::time_t reference, Records* records, std::string* err) {
  if (fields[0] == "queue") {
    Queue queue;
    if (!ReadQueue(fields, &queue, err)) return false;
    if (!records->queue_names.insert(queue.name).second) {
      *err = "queue \"" + queue.name + "\" declared twice";
      return false;
    }
    records->state.queues.push_back(std::move(queue));
    return true;
  }
  if (fields[0] == "job") {
    Job job;
    if (!ReadJob(fields, reference, &job, err)) return false;
    if (!records->job_ids.insert(job.id).second) {
      *err = "job id \"" + job.id + "\" used twice";
      return false;
    }
    records->state.jobs.push_back(std::move(job));
    records->job_lines.push_back(number);
    return true;
  }
  *err = "unknown record \"" + fields[0] + "\"; expected queue or job";
  return false;
}

// Queues may follow the jobs that use them, so this waits for the end.
void DropJobsOfUndeclaredQueues(Records* records, std::vector<StateProblem>* problems) {
  std::vector<Job>& jobs = records->state.jobs;
  std::vector<Job> kept;
  kept.reserve(jobs.size());
  for (std::size_t k = 0; k < jobs.size(); ++k) {
    if (records->queue_names.count(jobs[k].queue)) {
      kept.push_back(std::move(jobs[k]));
    } else {
      Report(problems, records->job_lines[k], "job \"" + jobs[k].id +
                                                  "\" names undeclared queue \"" +
                                                  jobs[k].queue + "\"");
    }
  }
  jobs = std::move(kept);
}

}  // namespace

SpoolState ParseState(std::string_view text, std::time_t reference,
                      std::vector<StateProblem>* problems) {
  Records records;
  for (std::size_t number = 1; !text.empty(); ++number) {
    const std::string_view line = TakeLine(&text);
    std::vector<std::string> fields;
    std::string error;
    if (!SplitFields(line, &fields, &error) ||
        (!fields.empty() && !AddRecord(fields, number, reference, &records, &error)))
      Report(problems, number, std::move(error));
  }
  DropJobsOfUndeclaredQueues(&records, problems);
  return std::move(records.state);
}

namespace {

// A file changed this recently may be in the middle of a rewrite even when
// it did not change while it was read: its writer may be between two
// writes, or waiting on the disk. One that stops short of its final newline
// surely is, and is given far longer. A writer that stalls longer than that
// can still be read half-written; writing a new file and renaming it into
// place never can.
constexpr std::chrono::milliseconds kSettle(100);
constexpr std::chrono::milliseconds kSettleCut(2000);
constexpr int kReadAttempts = 8;
// Far more than any spool holds; a bound, so a wrong path (a device, a
// growing log) cannot take all memory.
constexpr std::size_t kMaxStateFile = std::size_t{1} << 30;

bool RecentlyChanged(const struct stat& st, std::chrono::milliseconds settle) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const auto age = std::chrono::seconds(now.tv_sec - st.st_mtim.tv_sec) +
                   std::chrono::nanoseconds(now.tv_nsec - st.st_mtim.tv_nsec);
  // A time in the future is a clock set oddly, not a write under way.
  return age >= age.zero() && age < settle;
}

}  // namespace

StateFile::Stamp StateFile::Stamp::Of(const struct stat& st) {
  return Stamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

StateFile::StateFile(std::string path, const Log& log)
    : path_(std::move(path)), log_(log) {
  if (path_.empty()) state_.emplace();
}

const SpoolState* StateFile::Current(const StateScope&, std::string* problem) {
  if (!path_.empty()) Reload();
  if (!state_) *problem = problem_;
  return state_ ? &*state_ : nullptr;
}

void StateFile::Reread() {
  stamp_.reset();
  last_failure_.clear();
  if (!path_.empty()) Reload();
}

bool StateFile::ReadSettled(std::string* text, Stamp* stamp, std::string* err) const {
  Fd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat before {};
  if (!fd || ::fstat(fd.get(), &before) != 0) {
    *err = std::strerror(errno);
    return false;
  }
  if (!S_ISREG(before.st_mode)) {
    *err = "not a regular file";
    return false;
  }
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(kSettle / 4);
    struct stat after {};
    if (::lseek(fd.get(), 0, SEEK_SET) != 0) {
      *err = std::strerror(errno);
      return false;
    }
    if (!prclient::ReadAll(fd.get(), text, kMaxStateFile, err)) return false;
    if (::fstat(fd.get(), &after) != 0) {
      *err = std::strerror(errno);
      return false;
    }
    const Stamp then = Stamp::Of(before);
    before = after;
    if (then == Stamp::Of(after) &&
        text->size() == static_cast<std::size_t>(after.st_size) &&
        !RecentlyChanged(after, !text->empty() && text->back() == '\n' ? kSettle : kSettleCut)) {
      *stamp = then;
      return true;
    }
  }
  *err = "it kept changing while being read";
  return false;
}

void StateFile::Reload() {
  struct stat st {};
  std::string failure;
  if (::stat(path_.c_str(), &st) != 0) {
    failure = std::strerror(errno);
  } else {
    if (stamp_ && *stamp_ == Stamp::Of(st)) return;
    std::string text;
    Stamp read_stamp;
    if (ReadSettled(&text, &read_stamp, &failure)) {
      std::vector<StateProblem> problems;
      state_ = ParseState(text, std::time(nullptr), &problems);
      stamp_ = read_stamp;
      for (const StateProblem& p : problems)
        log_.Problem(path_ + ":" + std::to_string(p.line) + ": skipped: " + p.message);
      log_.Event("read state file " + path_ + ": " + std::to_string(state_->queues.size()) +
                 " queues, " + std::to_string(state_->jobs.size()) + " jobs");
      problem_.clear();
      last_failure_.clear();
      return;
    }
  }
  failure = "cannot read state file " + path_ + ": " + failure;
  if (failure != last_failure_) {
    log_.Problem(failure + (state_ ? "; keeping the last state read" : ""));
    last_failure_ = failure;
  }
  // A file that comes back is read again whatever its stamp.
  stamp_.reset();
  if (!state_) problem_ = failure;
}

}  // namespace prcontroller
