// The one decimal integer reader of the library and the controller, and the
// one reader of lengths of time built on it.
#ifndef PRCLIENT_NUMBER_H_
#define PRCLIENT_NUMBER_H_

#include <optional>
#include <string_view>

namespace prclient {

enum class NumberForm {
  // The number a C reader (strtol, sscanf "%d") finds at the front: optional
  // white space and sign, then digits up to the first non-digit; whatever
  // follows is ignored. A value outside [min, max] is clamped to it.
  kPrefix,
  // A whole field: nothing but digits, with a leading "-" only when `min`
  // is negative. A value outside [min, max] is refused.
  kWhole,
};

// The decimal integer in `text` read in `form`; nullopt when there are no
// digits where they must be (or, in kWhole, anything else or a value out of
// range). Requires min <= max.
std::optional<long long> ParseInteger(std::string_view text, NumberForm form,
                                      long long min, long long max);

// A length of time such as "90s", "15m", "2h" or "1d": a count that
// ParseInteger takes as a whole field in [0, max_count], then its unit, s,
// m, h or d in lower case. A bare count is in `bare_unit` (one of those
// letters), or refused when `bare_unit` is 0; *bare, when given, says which
// it was. The seconds it spans; nullopt for anything else. Requires
// max_count <= 10^12, so the seconds cannot overflow.
std::optional<long long> ParseDuration(std::string_view text, long long max_count,
                                       char bare_unit, bool* bare = nullptr);

}  // namespace prclient

#endif  // PRCLIENT_NUMBER_H_
