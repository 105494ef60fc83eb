// The job lister's local options: the controller's name and the two wait
// settings. Everything else on the command line belongs to the controller.
#ifndef PRWATCH_WATCH_ARGS_H_
#define PRWATCH_WATCH_ARGS_H_

#include <vector>

namespace prwatch {

// Index in argv of the last occurrence of each local option, or -1.
struct LocalOptions {
  int server = -1;
  int tries = -1;
  int wait = -1;
  bool any() const { return server >= 0 || tries >= 0 || wait >= 0; }
};

// Scans every argument after the program's name.
LocalOptions ScanOptions(int argc, const char* const* argv);

// The argv indices to forward, the program's name (0) first: all but the
// options in use and their values. Earlier occurrences of an option given
// more than once are forwarded.
std::vector<int> ForwardedIndices(int argc, const LocalOptions& opts);

// Reads a number the way "%d" does (white space, sign, digits up to the first
// other character) without overflow: a value beyond int is clamped. False,
// with *out untouched, when there is no number, so a bad value keeps the
// setting's default.
bool ReadNumber(const char* text, int* out);

}  // namespace prwatch

#endif  // PRWATCH_WATCH_ARGS_H_
