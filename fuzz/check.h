// What every fuzz target needs: a check that stops the run with a message
// (libFuzzer keeps the input that broke it), and the promise the controller
// makes about every reply it writes.
#ifndef PRCLIENT_FUZZ_CHECK_H_
#define PRCLIENT_FUZZ_CHECK_H_

#include <locale.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <cwchar>

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
  for (const unsigned char c : bytes) {
    char buf[5];
    std::snprintf(buf, sizeof buf, c >= 0x20 && c < 0x7F && c != '\\' && c != '"' ? "%c" : "\\x%02X", c);
    out += buf;
  }
  return out + "\"";
}

// Empty when `text` is fit for a terminal as the controller promises: well
// formed UTF-8, whole lines, no control character but the newline, none of
// the C1 or directional controls; otherwise what is wrong with it.
inline std::string TerminalProblem(std::string_view text) {
  if (text.empty() || text.back() != '\n') return "does not end in a newline";
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  const locale_t old = uselocale(utf8);
  std::mbstate_t state{};
  std::string problem;
  for (std::size_t i = 0, len = 0; i < text.size() && problem.empty(); i += len) {
    wchar_t c = 0;  // glibc takes 5-byte forms and values past U+10FFFF
    len = std::mbrtowc(&c, text.data() + i, text.size() - i, &state);
    if (len > 4 || c > 0x10FFFF)
      problem = "bad UTF-8 at " + std::to_string(i);
    else if ((c < 0x20 && c != '\n') || (c >= 0x7F && c <= 0x9F) || c == 0x200E || c == 0x200F ||
             (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069))
      problem = "control at " + std::to_string(i);
  }
  uselocale(old);
  return problem;
}

}  // namespace fuzzcheck

#define FUZZ_CHECK(cond, detail)                                        \
  do {                                                                  \
    if (!(cond)) fuzzcheck::Fail(__FILE__, __LINE__, #cond, (detail)); \
  } while (0)

#endif  // PRCLIENT_FUZZ_CHECK_H_
