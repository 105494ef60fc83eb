#include "watch_args.h"

#include <climits>
#include <cstring>
#include <optional>

#include "number.h"

namespace prwatch {
namespace {

// "-" followed by a leading part of the keyword, of any length but one: a
// lone dash is the server option, "-s" and "-n" are the controller's.
bool Matches(const char* arg, const char* keyword) {
  if (arg[0] != '-') return false;
  const char* t = arg + 1;
  std::size_t n = std::strlen(t);
  return n != 1 && std::strncmp(keyword, t, n) == 0;
}

}  // namespace

LocalOptions ScanOptions(int argc, const char* const* argv) {
  LocalOptions opts;
  for (int i = 1; i < argc; ++i) {
    if (Matches(argv[i], "serverName")) opts.server = i;
    else if (Matches(argv[i], "ntries")) opts.tries = i;
    else if (Matches(argv[i], "nwait")) opts.wait = i;
  }
  return opts;
}

std::vector<int> ForwardedIndices(int argc, const LocalOptions& opts) {
  std::vector<int> keep;
  for (int j = 0; j < argc; ++j) {
    bool used = false;
    for (int k : {opts.server, opts.tries, opts.wait})
      if (k >= 0 && (j == k || j == k + 1)) used = true;
    if (!used) keep.push_back(j);
  }
  return keep;
}

bool ReadNumber(const char* text, int* out) {
  const std::optional<long long> value =
      prclient::ParseInteger(text, prclient::NumberForm::kPrefix, INT_MIN, INT_MAX);
  if (value) *out = static_cast<int>(*value);
  return value.has_value();
}

}  // namespace prwatch
