// The controller's main loop.
#ifndef PRCONTROLLER_SERVER_H_
#define PRCONTROLLER_SERVER_H_

#include "settings.h"

namespace prcontroller {

// Serves the request directory until SIGINT or SIGTERM (or, with --once,
// until what is there has been answered); SIGHUP re-reads the state file.
// Returns the exit status: 0 after a clean stop, 1 when the directory
// cannot be served, or was removed, moved or replaced while served (a
// service manager then starts the controller on the new one), or, with
// --once, when the state could not be read.
int RunController(const Settings& settings);

}  // namespace prcontroller

#endif  // PRCONTROLLER_SERVER_H_
