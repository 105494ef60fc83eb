// The controller's main loop.
#ifndef PRCONTROLLER_SERVER_H_
#define PRCONTROLLER_SERVER_H_

#include "settings.h"

namespace prcontroller {

// Serves the request directory until SIGINT or SIGTERM (or, with --once,
// until what is there has been answered). Returns the exit status: 0 after
// a clean stop, 1 when the directory cannot be served or, with --once, when
// the state file could not be used.
int RunController(const Settings& settings);

}  // namespace prcontroller

#endif  // PRCONTROLLER_SERVER_H_
