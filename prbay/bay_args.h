// The queue lister's one local option, the controller's name. Everything else
// on the command line belongs to the controller.
#ifndef PRBAY_BAY_ARGS_H_
#define PRBAY_BAY_ARGS_H_

#include <vector>

namespace prbay {

// Index in argv of the first server option, or -1. Later occurrences are
// ordinary arguments.
int ScanOption(int argc, const char* const* argv);

// The argv indices to forward, the program's name (0) first: all but the
// option at `k` and its value.
std::vector<int> ForwardedIndices(int argc, int k);

}  // namespace prbay

#endif  // PRBAY_BAY_ARGS_H_
