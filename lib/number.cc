#include "number.h"

#include <algorithm>
#include <charconv>
#include <system_error>

namespace prclient {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// White space as the C locale's isspace knows it.
bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

std::optional<long long> ParseInteger(std::string_view text, NumberForm form,
                                      long long min, long long max) {
  const char* p = text.data();
  const char* const end = p + text.size();
  if (form == NumberForm::kWhole) {
    if (p == end || (*p == '-' && min >= 0)) return std::nullopt;
    long long value = 0;
    const std::from_chars_result r = std::from_chars(p, end, value);
    if (r.ec != std::errc() || r.ptr != end || value < min || value > max)
      return std::nullopt;
    return value;
  }

  while (p != end && IsSpace(*p)) ++p;
  const bool negative = p != end && *p == '-';
  if (p != end && (*p == '+' || *p == '-')) ++p;
  const char* const digits = p;
  while (p != end && IsDigit(*p)) ++p;
  if (p == digits) return std::nullopt;
  // from_chars takes a "-" but not a "+": hand it the sign only when minus.
  long long value = 0;
  if (std::from_chars(negative ? digits - 1 : digits, p, value).ec ==
      std::errc::result_out_of_range)
    return negative ? min : max;
  return std::clamp(value, min, max);
}

}  // namespace prclient
