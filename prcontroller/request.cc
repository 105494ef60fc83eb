#include "request.h"

#include <cstdio>

#include "number.h"
#include "prclient.h"

namespace prcontroller {
namespace {

using prclient::kControlAt;
using prclient::kControlPrefix;
using prclient::kControlTemplate;
using prclient::kCountAt;
using prclient::kCountField;
using prclient::kLineAt;
using prclient::kLineField;
using prclient::kMaxNameLength;
using prclient::kMaxWords;
using prclient::kNameField;
using prclient::kReplyAt;
using prclient::kRequestAt;

// The separator between two quoted words on the command line.
constexpr std::string_view kBetweenWords = "\" \"";

bool IsNameChar(unsigned char c) { return c > ' ' && c < 0x7F; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

std::string ByteText(unsigned char c) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", c);
  return buf;
}

// A name field's text without its blank padding, or false with *err set:
// the names the clients make are plain printable words.
bool NameField(std::string_view bytes, std::size_t at, const char* what,
               std::string_view* name, std::string* err) {
  *name = TrimBlanks(bytes.substr(at, kNameField));
  if (name->empty()) {
    *err = std::string("the ") + what + " is empty";
    return false;
  }
  for (char ch : *name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\0') {
      *err = std::string("a NUL inside the ") + what + " field";
      return false;
    }
    if (!IsNameChar(c)) {
      *err = std::string("the ") + what + " holds a byte that is not a name character (" +
             ByteText(c) + ")";
      return false;
    }
  }
  return true;
}

// The word count: "%-6d", so digits (perhaps a sign) then blanks.
bool ParseWordCount(std::string_view field, int* count, std::string* err) {
  // Six characters hold no more than this either way.
  const auto value = prclient::ParseInteger(TrimBlanks(field), prclient::NumberForm::kWhole,
                                            -99999, 999999);
  if (!value) {
    *err = "the word count field is not a number";
    return false;
  }
  if (*value < 1 || *value > kMaxWords) {
    *err = "the word count " + std::to_string(*value) + " is outside 1 to " +
           std::to_string(kMaxWords);
    return false;
  }
  *count = static_cast<int>(*value);
  return true;
}

// Splits the arguments part of the command line, `body` (everything after
// the request name and the first ` "`, blank padding removed), into
// `wanted` words.
//
// The client writes ` "word"` per argument and escapes nothing, so a word
// ends where `" "` starts the next one. When the text holds more such
// separators than there are word boundaries, some argument contained one
// and no split is more right than another: that is kAmbiguous rather than a
// guess, whether or not the line was also cut. Fewer separators, or no
// closing quote, mean the client's cut at kLineField characters took the
// last words (kCut). Some cuts stay invisible: right after a quote that was
// inside the last word, with every boundary there; or, when an argument
// holds a separator, one that took as many boundaries as arguments brought
// in.
Request::Line SplitQuoted(std::string_view body, int wanted,
                          std::vector<std::string>* args) {
  const bool closed = !body.empty() && body.back() == '"';
  if (closed) body.remove_suffix(1);

  std::vector<std::size_t> separators;
  for (std::size_t at = body.find(kBetweenWords); at != std::string_view::npos;
       at = body.find(kBetweenWords, at + 1))
    separators.push_back(at);

  auto split = [&](std::size_t count) {
    std::size_t from = 0;
    for (std::size_t k = 0; k < count; ++k) {
      args->emplace_back(body.substr(from, separators[k] - from));
      from = separators[k] + kBetweenWords.size();
    }
    return from;
  };

  const auto boundaries = static_cast<std::size_t>(wanted - 1);
  if (separators.size() > boundaries) return Request::Line::kAmbiguous;
  if (!closed || separators.size() < boundaries) {
    // Keep the words certainly whole: those a separator ends. A final
    // quote may close the last word or open one the cut took.
    std::size_t from = 0;
    for (std::size_t at : separators) {
      if (at < from) continue;
      args->emplace_back(body.substr(from, at - from));
      from = at + kBetweenWords.size();
    }
    return Request::Line::kCut;
  }
  for (std::size_t k = 1; k < separators.size(); ++k)
    if (separators[k] < separators[k - 1] + kBetweenWords.size())
      return Request::Line::kAmbiguous;
  const std::size_t last = split(boundaries);
  args->emplace_back(body.substr(last));
  return Request::Line::kComplete;
}

// `rest` is the command line after the request name; when nothing is left
// there, the client's cut took every argument.
bool SplitArguments(std::string_view rest, int wanted,
                    std::vector<std::string>* args, Request::Line* line,
                    std::string* err) {
  if (rest.empty()) {
    *line = Request::Line::kCut;
    return true;
  }
  if (rest.size() < 2 || rest.substr(0, 2) != " \"") {
    *err = "an argument on the command line does not start with a double quote";
    return false;
  }
  *line = SplitQuoted(rest.substr(2), wanted, args);
  return true;
}

// The request's frame: its size, and the NUL that closes every field.
bool CheckFrame(std::string_view bytes, std::string* err) {
  if (bytes.size() != prclient::kRequestSize) {
    *err = "the request is " + std::to_string(bytes.size()) + " bytes long, not " +
           std::to_string(prclient::kRequestSize);
    return false;
  }
  static constexpr struct {
    std::size_t at;
    const char* after;
  } kNuls[] = {{kControlAt + kNameField, "control name"},
               {kReplyAt + kNameField, "reply name"},
               {kRequestAt + kNameField, "request name"},
               {kCountAt + kCountField, "word count"},
               {kLineAt + kLineField, "command line"}};
  for (const auto& nul : kNuls) {
    if (bytes[nul.at] != '\0') {
      *err = std::string("no NUL after the ") + nul.after + " field (byte " +
             std::to_string(nul.at) + ")";
      return false;
    }
  }
  return true;
}

// The three names, the reply name one the controller may create.
bool ParseNames(std::string_view bytes, Request* request, std::string* err) {
  std::string_view control, reply, name;
  if (!NameField(bytes, kControlAt, "control name", &control, err) ||
      !NameField(bytes, kReplyAt, "reply name", &reply, err))
    return false;
  if (!IsUsableReplyName(reply)) {
    *err = "the reply name \"" + std::string(reply) + "\" cannot name a file here";
    return false;
  }
  if (!NameField(bytes, kRequestAt, "request name", &name, err)) return false;
  request->control_name = std::string(control);
  request->reply_name = std::string(reply);
  request->request_name = std::string(name);
  return true;
}

// A field other than a name, which holds no NUL of its own.
bool TextField(std::string_view bytes, std::size_t at, std::size_t width, const char* what,
               std::string_view* field, std::string* err) {
  *field = bytes.substr(at, width);
  if (field->find('\0') != std::string_view::npos) {
    *err = std::string("a NUL inside the ") + what + " field";
    return false;
  }
  return true;
}

// The command line: the request name, then as many arguments as the word
// count announces.
bool ParseLine(std::string_view bytes, Request* request, std::string* err) {
  std::string_view field;
  if (!TextField(bytes, kLineAt, kLineField, "command line", &field, err)) return false;
  const std::string_view line = TrimBlanks(field);
  const std::string_view name = request->request_name;
  if (line.substr(0, name.size()) != name ||
      (line.size() > name.size() && line[name.size()] != ' ')) {
    *err = "the command line does not start with the request name";
    return false;
  }
  const std::string_view rest = line.substr(name.size());
  if (request->word_count == 1 && !rest.empty()) {
    *err = "the command line holds arguments but the word count is 1";
    return false;
  }
  return request->word_count == 1 ||
         SplitArguments(rest, request->word_count - 1, &request->args, &request->line, err);
}

}  // namespace

bool IsRequestFileName(std::string_view name) {
  if (name.size() != kControlTemplate.size() ||
      name.substr(0, kControlPrefix.size()) != kControlPrefix)
    return false;
  for (char c : name.substr(kControlPrefix.size()))
    if (!IsNameChar(static_cast<unsigned char>(c)) || c == '/') return false;
  return true;
}

bool IsUsableReplyName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameLength || name.front() == '.')
    return false;
  for (char c : name)
    if (!IsNameChar(static_cast<unsigned char>(c)) || c == '/') return false;
  // A reply under a request's name would be taken for a request.
  return !IsRequestFileName(name);
}

bool ParseRequest(std::string_view bytes, Request* out, std::string* err) {
  Request request;
  std::string_view count;
  if (!CheckFrame(bytes, err) || !ParseNames(bytes, &request, err) ||
      !TextField(bytes, kCountAt, kCountField, "word count", &count, err) ||
      !ParseWordCount(count, &request.word_count, err) || !ParseLine(bytes, &request, err))
    return false;
  *out = std::move(request);
  return true;
}

bool ReadableReplyName(std::string_view bytes, std::string* name) {
  constexpr std::size_t kReplyEnd = kReplyAt + kNameField;
  if (bytes.size() < kReplyEnd || bytes[kReplyAt - 1] != '\0' ||
      (bytes.size() > kReplyEnd && bytes[kReplyEnd] != '\0'))
    return false;
  std::string_view reply;
  std::string ignored;
  if (!NameField(bytes, kReplyAt, "reply name", &reply, &ignored) ||
      !IsUsableReplyName(reply))
    return false;
  *name = std::string(reply);
  return true;
}

}  // namespace prcontroller
