// Process-wide settings with their built-in defaults. The two paths and the
// remote transport are fixed when the library is built; nothing is read from
// the environment.
#include "prclient.h"

namespace prclient {

const char* Qconffile = PRCLIENT_CONF_FILE;
const char* Tmpqdir = PRCLIENT_SPOOL_DIR;
const RemoteTransport remoteTransport =
    PRCLIENT_REMOTE_SSH ? RemoteTransport::kSsh : RemoteTransport::kRsh;
int netwait = 5;
int ntrys = 12;

}  // namespace prclient
