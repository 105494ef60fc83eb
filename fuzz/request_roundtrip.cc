// A request as the client writes it, read back by the controller's parser:
// the words that went in must come out, or the controller must say why
// they cannot (the 79-character line cut, or an argument that holds the
// quote-blank-quote that separates words).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "prclient.h"
#include "prcontroller/request.h"

namespace {

using prcontroller::Request;

constexpr std::size_t kLine = 79;
constexpr std::string_view kBetweenWords = "\" \"";

std::size_t Occurrences(std::string_view text, std::string_view what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string_view::npos;
       at = text.find(what, at + 1))
    ++n;
  return n;
}

bool IsNameChar(char c) {
  return static_cast<unsigned char>(c) > ' ' && static_cast<unsigned char>(c) < 0x7F;
}

std::string PickFrom(FuzzedDataProvider& in, std::string_view alphabet,
                     std::size_t min, std::size_t max) {
  std::string s(in.ConsumeIntegralInRange(min, max), ' ');
  for (char& c : s) c = alphabet[in.ConsumeIntegralInRange<std::size_t>(0, alphabet.size() - 1)];
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);

  // The names as the client makes them: "spr" and six random characters,
  // and the reply name from process, time, host and a counter.
  static constexpr std::string_view kRandom =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static constexpr std::string_view kHostChars =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-";
  const std::string control = "spr" + PickFrom(in, kRandom, 6, 6);
  const auto pid = in.ConsumeIntegralInRange<unsigned long>(1, 4194304);
  const auto seconds = in.ConsumeIntegral<std::uint32_t>();
  const auto millis = in.ConsumeIntegralInRange<unsigned>(0, 999);
  const auto counter = in.ConsumeIntegral<std::uint32_t>();
  const std::string host = PickFrom(in, kHostChars, 0, prclient::kHostSize - 1);
  const std::string reply = prclient::UniqueName(pid, seconds, millis, host, counter,
                                                 static_cast<int>(prclient::kNameSize));

  // The request name is the program's, a plain word; the arguments are
  // anything a command line can hold.
  const int argc = in.ConsumeIntegralInRange(0, prclient::kMaxArgs);
  std::string name = in.ConsumeRandomLengthString(prclient::kNameSize - 1);
  for (char& c : name)
    if (!IsNameChar(c)) c = static_cast<char>('!' + static_cast<unsigned char>(c) % 94);
  if (name.empty()) name = "prwatch";
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    std::string a = in.ConsumeRandomLengthString(100);
    args.push_back(a.substr(0, std::strlen(a.c_str())));
  }

  // The record as the remote call fills it in.
  prclient::RequestRecord rec;
  std::memcpy(rec.controlName, control.c_str(), control.size() + 1);
  std::memcpy(rec.replyName, reply.c_str(), reply.size() + 1);
  std::memcpy(rec.requestName, name.c_str(), name.size() + 1);
  rec.wordCount = argc + 1;
  rec.words[0] = rec.requestName;
  std::vector<std::string> quoted;
  for (const auto& a : args) quoted.push_back('"' + a + '"');
  for (int i = 0; i < argc; ++i) rec.words[i + 1] = quoted[static_cast<std::size_t>(i)].c_str();

  const std::string image = prclient::RequestImage(rec);
  FUZZ_CHECK(image.size() == prclient::kRequestSize, "");
  Request r;
  std::string err, reply_name;
  const bool parsed = prcontroller::ParseRequest(image, &r, &err);
  const std::string what = fuzzcheck::Show(image) + (parsed ? "" : ": " + err);

  FUZZ_CHECK(parsed, what);
  FUZZ_CHECK(r.control_name == control && r.reply_name == reply, what);
  FUZZ_CHECK(r.request_name == name && r.word_count == argc + 1, what);
  // The controller can answer a damaged copy of this file too.
  FUZZ_CHECK(prcontroller::ReadableReplyName(image, &reply_name) && reply_name == reply,
             what);

  std::string line = name;
  for (const auto& q : quoted) line += " " + q;
  const std::size_t boundaries = argc > 0 ? static_cast<std::size_t>(argc - 1) : 0;
  // Separators the arguments brought in themselves, beyond those between
  // words: with any, word boundaries cannot be known. The body is the line
  // after the request name's ` "` and before the last quote.
  const std::string_view body =
      argc > 0 ? std::string_view(line).substr(name.size() + 2, line.size() - name.size() - 3)
               : std::string_view();
  const bool extra = Occurrences(body, kBetweenWords) > boundaries;

  if (line.size() <= kLine) {
    if (extra) {
      FUZZ_CHECK(r.line == Request::Line::kAmbiguous, what);
    } else {
      FUZZ_CHECK(r.line == Request::Line::kComplete && r.args == args, what);
    }
    return 0;
  }

  // The line was cut: the last words are lost, and the controller must
  // notice. It reports the words that arrived whole, or that the line is
  // ambiguous when an argument holds a separator. Two cuts look like a whole
  // line: one right after a quote inside the last word, with every
  // separator there; and, when arguments hold separators, one that took as
  // many boundaries as they brought in (nothing in the line tells those
  // from a whole one, so only the word count is checked then).
  switch (r.line) {
    case Request::Line::kAmbiguous:
      FUZZ_CHECK(extra, what);
      break;
    case Request::Line::kComplete: {
      FUZZ_CHECK(r.args.size() == args.size(), what);
      if (extra) break;
      for (std::size_t k = 0; k + 1 < args.size(); ++k) FUZZ_CHECK(r.args[k] == args[k], what);
      const std::string& got = r.args.back();
      const std::string& sent = args.back();
      FUZZ_CHECK(got.size() < sent.size() && sent.compare(0, got.size(), got) == 0 &&
                     sent[got.size()] == '"',
                 what);
      break;
    }
    case Request::Line::kCut:
      FUZZ_CHECK(r.args.size() < args.size(), what);
      if (!extra) {
        for (std::size_t k = 0; k < r.args.size(); ++k) FUZZ_CHECK(r.args[k] == args[k], what);
      }
      break;
  }
  return 0;
}
