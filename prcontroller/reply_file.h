// Writing a reply where a client may copy it at any moment, in a directory
// other users may write too.
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

// Temporary files begin with this; nothing else in the directory may.
constexpr std::string_view kTempPrefix = ".prcontroller.";

// Puts `content` under `name` in the directory `dirfd` as one step: it is
// written under a temporary name nobody can guess, created exclusively, and
// then moved to `name`, so a client polling for the reply finds nothing or
// all of it, never part. The file gets mode 0644 whatever the umask, since
// the clients may copy it as another user. A reply name is answered once:
// when anything stands under `name` already (an earlier reply, a file or
// link somebody planted) nothing is written over it and the call fails with
// *error EEXIST. Reports the way lib/posix_util.h sets out, and on failure
// puts besides the errno of the step that failed in *error (ENOSPC and
// EMFILE pass; the others will not); nothing is left behind.
bool WriteReplyFile(int dirfd, const std::string& name, std::string_view content,
                    FileId* written, int* error, std::string* err);

}  // namespace prcontroller

#endif  // PRCONTROLLER_REPLY_FILE_H_
