#include "wait_line.h"

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

// The text with its control characters shown as ^X (C1 ones, in UTF-8,
// as M-^X): a host name from the configuration file must not move the
// cursor, clear the screen or retitle the terminal.
std::string Visible(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (c < 0x20 || c == 0x7f) {
      out += '^';
      out += static_cast<char>(c ^ 0x40);
    } else if (c == 0xc2 && next >= 0x80 && next < 0xa0) {
      out += "M-^";
      out += static_cast<char>((next - 0x80) ^ 0x40);
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

WaitLine::WaitLine()
    : on_(::isatty(STDERR_FILENO) == 1 && ::tcgetpgrp(STDERR_FILENO) == ::getpgrp()),
      from_(After(kQuietSeconds)) {}

void WaitLine::Show(const std::string& text) {
  if (!on_) return;
  winsize size{};
  const std::size_t width = ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0
                                ? size.ws_col
                                : kDefaultWidth;
  // One column short of the width: a full line would wrap on some terminals.
  std::string line = Visible(text).substr(0, width - 1);
  if (line.size() < shown_) line.append(shown_ - line.size(), ' ');  // covers the longer one
  Put("\r" + line);
  shown_ = line.size();
}

void WaitLine::Erase() {
  if (shown_ == 0) return;
  Put("\r" + std::string(shown_, ' ') + "\r");
  shown_ = 0;
}

}  // namespace prclient::detail
