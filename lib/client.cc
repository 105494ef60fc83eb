// Process-wide settings with their built-in defaults. The two paths are
// fixed when the library is built; nothing is read from the environment.
#include "prclient.h"

namespace prclient {

const char* Qconffile = PRCLIENT_CONF_FILE;
const char* Tmpqdir = PRCLIENT_SPOOL_DIR;
int netwait = 5;
int ntrys = 12;

}  // namespace prclient
