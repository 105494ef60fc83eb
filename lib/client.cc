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
// Long enough for a slow rcp over a busy line to finish; short enough that
// a copy that never ends (a planted FIFO, a dead host) costs a poll, not
// the client. A test build of the library may set its own.
#ifndef PRCLIENT_COPY_LIMIT
#define PRCLIENT_COPY_LIMIT 60
#endif
int copyLimit = PRCLIENT_COPY_LIMIT;

}  // namespace prclient
