// The controller's request parser, and the answer it builds, on arbitrary
// bytes: anybody can drop a file in the request directory. A broken promise
// aborts, and libFuzzer keeps the input that broke it.
#include <locale.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <cwchar>
#include <string>

#include "prcontroller/answer.h"
#include "prcontroller/request.h"
#include "prcontroller/state_file.h"

#define CHECK(cond) ((cond) ? void() : (std::fprintf(stderr, "broken: %s\n", #cond), std::abort()))

namespace {

using prcontroller::Request;

constexpr std::time_t kNow = 1714555800;

// What the controller promises of every reply: a known status, and text fit
// for a terminal: well formed UTF-8 in whole lines, no control character but
// the newline, none of the C1 or directional controls.
void CheckReply(const prcontroller::Reply& reply) {
  CHECK(reply.status >= prcontroller::kStatusOk && reply.status <= prcontroller::kStatusNoQueue);
  const std::string& text = reply.text;
  std::mbstate_t state{};
  CHECK(!text.empty() && text.back() == '\n');
  for (std::size_t i = 0, len = 0; i < text.size(); i += len) {
    wchar_t c = 0;  // glibc takes 5-byte forms and values past U+10FFFF; a NUL reads as length 0
    len = std::mbrtowc(&c, text.data() + i, text.size() - i, &state);
    CHECK(len >= 1 && len <= 4 && c <= 0x10FFFF && (c >= 0x20 || c == '\n') && (c < 0x7F || c > 0x9F));
    CHECK(c != 0x200E && c != 0x200F && (c < 0x202A || c > 0x202E) && (c < 0x2066 || c > 0x2069));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The sample spool has something for every filter and names that need escaping.
  static const prcontroller::SpoolState state = [] {
    uselocale(newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr));  // for the check's decoder; the controller uses none
    std::ifstream in(SAMPLE_STATE);
    std::vector<prcontroller::StateProblem> problems;
    auto s = prcontroller::ParseState(std::string(std::istreambuf_iterator<char>(in), {}), kNow, &problems);
    CHECK(s.jobs.size() > 10 && problems.empty());
    return s;
  }();

  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Request r;
  std::string err, reply_name;
  const bool parsed = prcontroller::ParseRequest(bytes, &r, &err);
  const bool readable = prcontroller::ReadableReplyName(bytes, &reply_name);
  CHECK(!readable || prcontroller::IsUsableReplyName(reply_name));
  CHECK(parsed == err.empty());
  if (!parsed) return CheckReply(prcontroller::MalformedReply(err)), 0;
  CHECK(size == prclient::kRequestSize && readable && reply_name == r.reply_name);
  CHECK(!r.control_name.empty() && !r.request_name.empty());
  CHECK(r.word_count >= 1 && r.word_count <= prclient::kMaxWords);
  const auto announced = static_cast<std::size_t>(r.word_count - 1);
  const std::size_t n = r.args.size();  // fewer when words were lost
  CHECK(r.line == Request::Line::kComplete ? n == announced
        : r.line == Request::Line::kCut    ? n < announced
                                           : n <= announced);
  for (const auto& a : r.args) CHECK(a.size() < prclient::kLineField);

  prcontroller::FixedSource source(&state, ""), missing(nullptr, "no such file\x1b[2J");
  CheckReply(prcontroller::Answer(r, source, kNow));
  CheckReply(prcontroller::Answer(r, missing, kNow));
  return 0;
}
