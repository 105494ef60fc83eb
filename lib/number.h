// The one decimal integer reader of the library and the controller.
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

}  // namespace prclient

#endif  // PRCLIENT_NUMBER_H_
