// The controller's own command line.
#ifndef PRCONTROLLER_CLI_H_
#define PRCONTROLLER_CLI_H_

#include <string>

#include "settings.h"

namespace prcontroller {

struct CommandLine {
  Settings settings;
  bool help = false;
  bool version = false;
};

// Reads `argv` (argc words, the program's name first) the way getopt_long
// does: long options, which may be abbreviated, with "--dir DIR" or
// "--dir=DIR"; short ones that may be grouped ("-qd DIR"); "--" ends the
// options. False, with *err saying why, when the command line is unusable.
bool ParseCommandLine(int argc, char* const* argv, CommandLine* cl, std::string* err);

const char* UsageText();
// "prcontroller " and the version it was built as.
std::string VersionText();

}  // namespace prcontroller

#endif  // PRCONTROLLER_CLI_H_
