#include "bay_args.h"

#include <cstring>

namespace prbay {

int ScanOption(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '-') continue;
    // A leading part of the keyword of any length but one: "-" alone is the
    // option, "-s" is the controller's.
    const char* p = argv[i] + 1;
    std::size_t n = std::strlen(p);
    if (n != 1 && std::strncmp("serverName", p, n) == 0) return i;
  }
  return -1;
}

std::vector<int> ForwardedIndices(int argc, int k) {
  std::vector<int> keep;
  for (int i = 0; i < argc; ++i)
    if (i != k && i != k + 1) keep.push_back(i);
  return keep;
}

}  // namespace prbay
