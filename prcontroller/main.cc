// prcontroller: a small printer controller that answers the requests
// prwatch and prbay drop in its request directory.
#include <signal.h>

#include <cstdio>
#include <string>

#include "cli.h"
#include "server.h"

int main(int argc, char** argv) {
  prcontroller::CommandLine cl;
  std::string err;
  if (!prcontroller::ParseCommandLine(argc, argv, &cl, &err)) {
    std::fprintf(stderr, "prcontroller: %s\nTry 'prcontroller --help' for more information.\n",
                 err.c_str());
    return 2;
  }
  if (cl.help) {
    std::fputs(prcontroller::UsageText(), stdout);
    return 0;
  }
  if (cl.version) {
    std::puts(prcontroller::VersionText().c_str());
    return 0;
  }
  // A log reader that goes away must not take the controller with it.
  ::signal(SIGPIPE, SIG_IGN);
  return prcontroller::RunController(cl.settings);
}
