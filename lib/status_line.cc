#include "status_line.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include "interrupt.h"
#include "posix_util.h"

namespace prclient::detail {
namespace {

constexpr double kQuietSeconds = 1.0;
constexpr std::size_t kDefaultWidth = 80;

void Put(const std::string& text) {
  std::string ignored;
  WriteAll(STDERR_FILENO, text, &ignored);
}

}  // namespace

StatusLine::StatusLine()
    : on_(::isatty(STDERR_FILENO) == 1 && ::tcgetpgrp(STDERR_FILENO) == ::getpgrp()),
      from_(After(kQuietSeconds)) {}

void StatusLine::Show(const std::string& text) {
  if (!on_) return;
  winsize size{};
  const std::size_t width = ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0
                                ? size.ws_col
                                : kDefaultWidth;
  // One column short of the width: a full line would wrap on some terminals.
  std::string line = text.substr(0, width - 1);
  if (line.size() < shown_) line.append(shown_ - line.size(), ' ');  // covers the longer one
  Put("\r" + line);
  shown_ = line.size();
}

void StatusLine::Erase() {
  if (shown_ == 0) return;
  Put("\r" + std::string(shown_, ' ') + "\r");
  shown_ = 0;
}

}  // namespace prclient::detail
