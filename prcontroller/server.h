// The controller's main loop.
#ifndef PRCONTROLLER_SERVER_H_
#define PRCONTROLLER_SERVER_H_

#include "settings.h"

namespace prcontroller {

// Serves the request directory until SIGINT or SIGTERM (or, with --once,
// until what is there has been answered). Returns the exit status: 0 after
// a clean stop, 1 when the directory cannot be served.
int RunController(const Settings& settings);

}  // namespace prcontroller

#endif  // PRCONTROLLER_SERVER_H_
