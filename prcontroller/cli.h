// The controller's own command line.
#ifndef PRCONTROLLER_CLI_H_
#define PRCONTROLLER_CLI_H_

#include <string>
#include <vector>

#include "settings.h"

namespace prcontroller {

struct CommandLine {
  Settings settings;
  bool help = false;
  std::string error;  // set when the command line is unusable
};

// `args` without the program name. Options are long ("--dir DIR" or
// "--dir=DIR"); see UsageText().
CommandLine ParseCommandLine(const std::vector<std::string>& args);

const char* UsageText();

}  // namespace prcontroller

#endif  // PRCONTROLLER_CLI_H_
