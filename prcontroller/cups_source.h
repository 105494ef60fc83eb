// The bridge to a CUPS scheduler: each listing is asked for over IPP when a
// request is answered, through one connection kept open between requests.
// It is built only when libcups is found (PRCONTROLLER_CUPS); otherwise
// cups_off.cc stands in and says the bridge is off.
#ifndef PRCONTROLLER_CUPS_SOURCE_H_
#define PRCONTROLLER_CUPS_SOURCE_H_

#include <memory>
#include <string>

#include "log.h"
#include "settings.h"
#include "state_source.h"

namespace prcontroller {

// `settings.cups` is "HOST", "HOST:PORT", the path of a local socket, or ""
// for the system's scheduler; its limits bound every exchange. Nothing is
// asked yet, so a scheduler that is down at start-up is no reason to
// refuse. Null only when the name is unusable or the bridge was not built,
// the reason then in `err`. What the scheduler's answers show goes to
// `log`, which must outlive the source.
std::unique_ptr<StateSource> OpenCupsSource(const Settings& settings, const Log& log,
                                            std::string* err);

}  // namespace prcontroller

#endif  // PRCONTROLLER_CUPS_SOURCE_H_
