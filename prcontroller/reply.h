// What the controller answers: a status and the text the client shows.
#ifndef PRCONTROLLER_REPLY_H_
#define PRCONTROLLER_REPLY_H_

#include <string>

#include "status.h"

namespace prcontroller {

struct Reply {
  int status = kStatusOk;
  std::string text;  // whole lines, each ending in "\n"
};

// The reply file's content: the status line (the status in decimal), which
// the client reads as its exit status, then the text.
inline std::string ReplyContent(const Reply& reply) {
  return std::to_string(reply.status) + "\n" + reply.text;
}

}  // namespace prcontroller

#endif  // PRCONTROLLER_REPLY_H_
