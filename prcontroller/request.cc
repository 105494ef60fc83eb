#include "request.h"

#include <cstdio>

#include "prclient.h"

namespace prcontroller {
namespace {

using prclient::kControlAt;
using prclient::kCountAt;
using prclient::kCountField;
using prclient::kLineAt;
using prclient::kReplyAt;
using prclient::kRequestAt;
constexpr std::size_t kNameField = prclient::kNameSize;

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

// A name field's text without its blank padding, or an error: the names
// the clients make are plain printable words.
std::optional<std::string_view> NameField(std::string_view bytes,
                                          std::size_t at, const char* what,
                                          std::string* error) {
  const std::string_view name = TrimBlanks(bytes.substr(at, kNameField));
  if (name.empty()) {
    *error = std::string("the ") + what + " is empty";
    return std::nullopt;
  }
  for (char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\0') {
      *error = std::string("a NUL inside the ") + what + " field";
      return std::nullopt;
    }
    if (!IsNameChar(c)) {
      *error = std::string("the ") + what + " holds a byte that is not a name character (" +
               ByteText(c) + ")";
      return std::nullopt;
    }
  }
  return name;
}

// The word count: "%-6d", so digits (perhaps a sign) then blanks.
bool ParseWordCount(std::string_view field, int* count, std::string* error) {
  const std::string_view text = TrimBlanks(field);
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && text[i] == '-') negative = true, ++i;
  long value = 0;
  const std::size_t digits_at = i;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    value = value * 10 + (text[i] - '0');  // at most 6 digits: no overflow
  if (i == digits_at || i != text.size()) {
    *error = "the word count field is not a number";
    return false;
  }
  if (negative) value = -value;
  if (value < 1 || value > kMaxWords) {
    *error = "the word count " + std::to_string(value) + " is outside 1 to " +
             std::to_string(kMaxWords);
    return false;
  }
  *count = static_cast<int>(value);
  return true;
}

// Splits the arguments part of the command line, `rest` (everything after
// the request name, blank padding removed), into `wanted` words.
//
// The client writes ` "word"` per argument and escapes nothing, so a word
// ends where `" "` starts the next one. When the text holds more such
// separators than there are word boundaries, some argument contained one
// and no split is more right than another: that is kAmbiguous rather than a
// guess, whether or not the line was also cut. Fewer separators, or no
// closing quote, mean the client's cut at 79 characters took the last words
// (kCut). Some cuts stay invisible: right after a quote that was inside the
// last word, with every boundary there; or, when an argument holds a
// separator, one that took as many boundaries as arguments brought in.
Request::Line SplitArguments(std::string_view rest, int wanted,
                             std::vector<std::string>* args,
                             std::string* error) {
  if (rest.size() < 2 || rest.substr(0, 2) != " \"") {
    if (rest.empty()) return Request::Line::kCut;
    *error = "an argument on the command line does not start with a double quote";
    return Request::Line::kComplete;
  }
  std::string_view body = rest.substr(2);
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

}  // namespace

bool IsRequestFileName(std::string_view name) {
  if (name.size() != 9 || name.substr(0, 3) != "spr") return false;
  for (char c : name.substr(3))
    if (!IsNameChar(static_cast<unsigned char>(c)) || c == '/') return false;
  return true;
}

bool IsUsableReplyName(std::string_view name) {
  if (name.empty() || name.size() > kMaxReplyName || name.front() == '.')
    return false;
  for (char c : name)
    if (!IsNameChar(static_cast<unsigned char>(c)) || c == '/') return false;
  // A reply under a request's name would be taken for a request.
  return !IsRequestFileName(name);
}

ParsedRequest ParseRequest(std::string_view bytes) {
  ParsedRequest result;
  std::string& error = result.error;
  if (bytes.size() != kRequestSize) {
    error = "the request is " + std::to_string(bytes.size()) +
            " bytes long, not " + std::to_string(kRequestSize);
    return result;
  }
  static constexpr struct {
    std::size_t at;
    const char* after;
  } kNuls[] = {{14, "control name"},
               {29, "reply name"},
               {44, "request name"},
               {51, "word count"},
               {131, "command line"}};
  for (const auto& nul : kNuls) {
    if (bytes[nul.at] != '\0') {
      error = std::string("no NUL after the ") + nul.after + " field (byte " +
              std::to_string(nul.at) + ")";
      return result;
    }
  }

  Request request;
  const auto control = NameField(bytes, kControlAt, "control name", &error);
  if (!control) return result;
  const auto reply = NameField(bytes, kReplyAt, "reply name", &error);
  if (!reply) return result;
  if (!IsUsableReplyName(*reply)) {
    error = "the reply name \"" + std::string(*reply) +
            "\" cannot name a file here";
    return result;
  }
  const auto name = NameField(bytes, kRequestAt, "request name", &error);
  if (!name) return result;
  request.control_name = std::string(*control);
  request.reply_name = std::string(*reply);
  request.request_name = std::string(*name);

  const std::string_view count_field = bytes.substr(kCountAt, kCountField);
  if (count_field.find('\0') != std::string_view::npos) {
    error = "a NUL inside the word count field";
    return result;
  }
  if (!ParseWordCount(count_field, &request.word_count, &error)) return result;

  const std::string_view field = bytes.substr(kLineAt, kCommandLineSize);
  if (field.find('\0') != std::string_view::npos) {
    error = "a NUL inside the command line field";
    return result;
  }
  const std::string_view line = TrimBlanks(field);
  if (line.substr(0, name->size()) != *name ||
      (line.size() > name->size() && line[name->size()] != ' ')) {
    error = "the command line does not start with the request name";
    return result;
  }
  const std::string_view rest = line.substr(name->size());
  if (request.word_count == 1) {
    if (!rest.empty()) {
      error = "the command line holds arguments but the word count is 1";
      return result;
    }
  } else {
    request.line =
        SplitArguments(rest, request.word_count - 1, &request.args, &error);
    if (!error.empty()) return result;
  }
  result.request = std::move(request);
  return result;
}

std::optional<std::string> ReadableReplyName(std::string_view bytes) {
  constexpr std::size_t kReplyEnd = kReplyAt + kNameField;
  if (bytes.size() < kReplyEnd || bytes[kReplyAt - 1] != '\0' ||
      (bytes.size() > kReplyEnd && bytes[kReplyEnd] != '\0'))
    return std::nullopt;
  std::string ignored;
  const auto reply = NameField(bytes, kReplyAt, "reply name", &ignored);
  if (!reply || !IsUsableReplyName(*reply)) return std::nullopt;
  return std::string(*reply);
}

}  // namespace prcontroller
