// The request file a client drops in the request directory: blank-padded
// text fields, each closed by a NUL, laid out as prclient.h's layout block
// says: the control name (the request file's own name), the reply name, the
// request name ("prwatch", "prbay"), the word count (decimal, 1 to
// prclient::kMaxWords) and the command line (the request name, then
// ` "arg"` per argument).
//
// The parser takes raw bytes and trusts none of them, so it can be fed
// anything.
#ifndef PRCONTROLLER_REQUEST_H_
#define PRCONTROLLER_REQUEST_H_

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "prclient.h"

namespace prcontroller {

// The request directory's reader checks a file's size against it.

struct Request {
  // How far the command line could be split into the words announced.
  enum class Line {
    kComplete,   // every announced word, each whole
    kCut,        // the client cut the line to its field: words lost
    kAmbiguous,  // an argument holds `" "`, so word boundaries are unknown
  };

  std::string control_name;
  std::string reply_name;
  std::string request_name;
  int word_count = 0;
  // The arguments without their quotes: word_count - 1 of them when the
  // line is complete; when it was cut, those that certainly arrived whole.
  std::vector<std::string> args;
  Line line = Line::kComplete;
  // When the file was last written, by the controller's clock: its answer
  // may come from nothing older. Not part of the file.
  timespec asked{};
};

// Parses a request file's whole content into *out; false, with *err
// saying why, when the bytes are not a request.
bool ParseRequest(std::string_view bytes, Request* out, std::string* err);

// The reply name of a file that is not a valid request (short, long or
// damaged elsewhere), when its reply name field is intact and usable; lets
// the controller tell the waiting client what went wrong.
bool ReadableReplyName(std::string_view bytes, std::string* name);

// prclient::kControlPrefix and name characters up to the length of
// prclient::kControlTemplate: the names request files arrive under.
bool IsRequestFileName(std::string_view name);

// A reply name the controller may create in its directory: 1 to
// prclient::kMaxNameLength printable characters, no "/", no leading "."
// (which also excludes "." and ".." and the controller's own temporary
// files), and not a request name.
bool IsUsableReplyName(std::string_view name);

}  // namespace prcontroller

#endif  // PRCONTROLLER_REQUEST_H_
