// What every fuzz target needs: a check that stops the run with a message
// (libFuzzer keeps the input that broke it), and the promise the controller
// makes about every reply it writes.
#ifndef PRCLIENT_FUZZ_CHECK_H_
#define PRCLIENT_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzzcheck {

[[noreturn]] inline void Fail(const char* file, int line, const char* what,
                              const std::string& detail) {
  std::fprintf(stderr, "%s:%d: broken: %s\n", file, line, what);
  if (!detail.empty()) std::fprintf(stderr, "  %s\n", detail.c_str());
  std::abort();
}

// `bytes` shown with every byte outside printable ASCII as \xHH.
inline std::string Show(std::string_view bytes) {
  std::string out = "\"";
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
      out += ch;
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    }
  }
  return out + "\"";
}

// Empty when `text` is fit for a terminal as the controller promises: well
// formed UTF-8, whole lines, no control character but the newline, none of
// the C1 or directional controls; otherwise what is wrong with it.
inline std::string TerminalProblem(std::string_view text) {
  if (text.empty() || text.back() != '\n') return "does not end in a newline";
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if ((c < 0x20 && c != '\n') || c == 0x7F)
        return "control byte at " + std::to_string(i);
      ++i;
      continue;
    }
    std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    if (len == 0 || c > 0xF4 || i + len > text.size())
      return "bad UTF-8 at " + std::to_string(i);
    char32_t cp = c & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return "bad UTF-8 at " + std::to_string(i);
      cp = (cp << 6) | (next & 0x3F);
    }
    const char32_t least = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return "bad UTF-8 at " + std::to_string(i);
    if (cp <= 0x9F || cp == 0x200E || cp == 0x200F ||
        (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069))
      return "hidden control at " + std::to_string(i);
    i += len;
  }
  return "";
}

}  // namespace fuzzcheck

#define FUZZ_CHECK(cond, detail)                                        \
  do {                                                                  \
    if (!(cond)) fuzzcheck::Fail(__FILE__, __LINE__, #cond, (detail)); \
  } while (0)

#endif  // PRCLIENT_FUZZ_CHECK_H_
