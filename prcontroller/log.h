// Log lines on standard error, one per event, each with a timestamp.
#ifndef PRCONTROLLER_LOG_H_
#define PRCONTROLLER_LOG_H_

#include <string_view>

namespace prcontroller {

class Log {
 public:
  explicit Log(bool quiet) : quiet_(quiet) {}

  // Routine events (a request answered, a reply expired); --quiet drops
  // them, which matters when hundreds of requests a second arrive.
  void Event(std::string_view message) const;
  // Anything an operator should see: always written.
  void Problem(std::string_view message) const;

 private:
  bool quiet_;
};

}  // namespace prcontroller

#endif  // PRCONTROLLER_LOG_H_
