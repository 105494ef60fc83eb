// Log lines on standard error, one per event. On a terminal or in a file
// each line carries a timestamp and the process id; when standard error is
// the journal (systemd sets JOURNAL_STREAM), which stamps lines itself, each
// line starts with a syslog priority such as "<4>" instead.
#ifndef PRCONTROLLER_LOG_H_
#define PRCONTROLLER_LOG_H_

#include <string_view>

namespace prcontroller {

class Log {
 public:
  explicit Log(bool quiet);

  // Routine events (a request answered, a reply expired); --quiet drops
  // them, which matters when hundreds of requests a second arrive.
  void Event(std::string_view message) const;
  // Start, stop and the settings in use: always written.
  void Notice(std::string_view message) const;
  // Anything an operator should see: always written.
  void Problem(std::string_view message) const;
  // Why the controller stops serving: always written.
  void Error(std::string_view message) const;

 private:
  void Write(int priority, std::string_view message) const;

  bool quiet_;
  bool journal_;
};

// True when `journal_stream` (JOURNAL_STREAM's "DEVICE:INODE") names the
// stream open on `fd`. A child whose standard error was redirected inherits
// the variable but not the stream, so the variable alone proves nothing.
bool IsJournalStream(const char* journal_stream, int fd);

}  // namespace prcontroller

#endif  // PRCONTROLLER_LOG_H_
