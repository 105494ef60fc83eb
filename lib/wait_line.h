// The wait line: what a client keeps on its terminal while it polls for
// its reply (a reply's own first line is its status line). Internal to the
// library.
#ifndef PRCLIENT_WAIT_LINE_H_
#define PRCLIENT_WAIT_LINE_H_

#include <cstddef>
#include <ctime>
#include <string>

namespace prclient::detail {

// Shown on standard error only when that is a terminal whose foreground
// the client is, and only once the client has waited more than a second:
// a script, a log file or a quick answer sees not one byte of it. The text
// stays on one line, updated in place, and is erased before anything else
// is printed.
class WaitLine {
 public:
  WaitLine();
  ~WaitLine() { Erase(); }
  WaitLine(const WaitLine&) = delete;
  WaitLine& operator=(const WaitLine&) = delete;

  bool on() const { return on_; }
  // When the line may first be shown.
  const timespec& from() const { return from_; }
  void Show(const std::string& text);
  void Erase();

 private:
  bool on_;
  timespec from_;
  std::size_t shown_ = 0;  // columns the line covers now
};

}  // namespace prclient::detail

#endif  // PRCLIENT_WAIT_LINE_H_
