// prcontroller: a small printer controller that answers the requests
// prwatch and prbay drop in its request directory.
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "server.h"

int main(int argc, char** argv) {
  const prcontroller::CommandLine cl =
      prcontroller::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (cl.help) {
    std::fputs(prcontroller::UsageText(), stdout);
    return 0;
  }
  if (!cl.error.empty()) {
    std::fprintf(stderr, "prcontroller: %s\n%s", cl.error.c_str(),
                 prcontroller::UsageText());
    return 2;
  }
  // A log reader that goes away must not take the controller with it.
  ::signal(SIGPIPE, SIG_IGN);
  return prcontroller::RunController(cl.settings);
}
