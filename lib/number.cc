#include "number.h"

#include <algorithm>
#include <charconv>
#include <system_error>

namespace prclient {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// White space as the C locale's isspace knows it.
bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The seconds in the unit `unit` names; 0 when it names none.
long long UnitSeconds(char unit) {
  switch (unit) {
    case 's': return 1;
    case 'm': return 60;
    case 'h': return 3600;
    case 'd': return 86400;
    default: return 0;
  }
}

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

std::optional<long long> ParseDuration(std::string_view text, long long max_count,
                                       char bare_unit, bool* bare) {
  const bool unitless = text.empty() || IsDigit(text.back());
  const long long unit = UnitSeconds(unitless ? bare_unit : text.back());
  if (unit == 0) return std::nullopt;
  if (!unitless) text.remove_suffix(1);
  const auto count = ParseInteger(text, NumberForm::kWhole, 0, max_count);
  if (!count) return std::nullopt;
  if (bare) *bare = unitless;
  return *count * unit;
}

}  // namespace prclient
