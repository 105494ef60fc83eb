// Writing a reply where a client may copy it at any moment.
#ifndef PRCONTROLLER_REPLY_FILE_H_
#define PRCONTROLLER_REPLY_FILE_H_

#include <sys/types.h>

#include <string>
#include <string_view>

namespace prcontroller {

struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
};

// Puts `content` under `name` in the directory `dirfd` as one step: it is
// written under a temporary name beginning with "." and then renamed, so a
// client polling for the reply finds nothing or all of it, never part. The
// file gets mode 0644 whatever the umask, since the clients may copy it as
// another user. A symbolic link already under `name` is replaced, never
// followed. On failure nothing is left behind and `error` says why.
bool WriteReplyFile(int dirfd, const std::string& name, std::string_view content,
                    FileId* written, std::string* error);

}  // namespace prcontroller

#endif  // PRCONTROLLER_REPLY_FILE_H_
