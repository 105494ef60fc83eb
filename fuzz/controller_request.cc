// The controller's request parser, and the answer it builds, on arbitrary
// bytes: anybody can drop a file in the request directory.
#include <cstdint>
#include <ctime>
#include <string>

#include "check.h"
#include "prcontroller/answer.h"
#include "prcontroller/request.h"
#include "prcontroller/state.h"

namespace {

using prcontroller::Request;

constexpr std::time_t kNow = 1714555800;  // 2024-05-01, when the jobs below waited

// A small spool with something for every filter and a name that needs
// escaping.
const char kState[] =
    "queue lp1 ready \"Second floor\"\n"
    "queue lp2 paused\n"
    "job 1041 lp1 alice printing 1258291 14 -3m \"report.pdf\"\n"
    "job 1042 lp1 bob queued 84213 2 -2h \"meeting notes\"\n"
    "job 1044 lp2 dave error 402112 6 -47m \"\\e[31minvoice\\xff\"\n"
    "job 1045 lp2 erin held 9873410 22 -2d \"poster\"\n"
    "job 1049 lp1 ivan done 3072 1 -5h \"label\"\n";

void CheckReply(const prcontroller::Reply& reply, const std::string& what) {
  FUZZ_CHECK(reply.status >= prcontroller::kStatusOk && reply.status <= prcontroller::kStatusNoQueue, what);
  const std::string problem = fuzzcheck::TerminalProblem(reply.text);
  FUZZ_CHECK(problem.empty(), what + ": " + problem + " in " + fuzzcheck::Show(reply.text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const prcontroller::SpoolState state = [] {
    std::vector<prcontroller::StateProblem> problems;
    auto s = prcontroller::ParseState(kState, kNow, &problems);
    if (!problems.empty()) std::abort();
    return s;
  }();

  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string what = fuzzcheck::Show(bytes);
  Request r;
  std::string err, reply_name;
  const bool parsed = prcontroller::ParseRequest(bytes, &r, &err);
  const bool readable = prcontroller::ReadableReplyName(bytes, &reply_name);
  if (readable) FUZZ_CHECK(prcontroller::IsUsableReplyName(reply_name), what);

  if (!parsed) {
    FUZZ_CHECK(!err.empty(), what);
    CheckReply(prcontroller::MalformedReply(err), what);
    return 0;
  }
  FUZZ_CHECK(err.empty(), what);
  FUZZ_CHECK(size == prcontroller::kRequestSize, what);
  FUZZ_CHECK(readable && reply_name == r.reply_name, what);
  FUZZ_CHECK(!r.control_name.empty() && !r.request_name.empty(), what);
  FUZZ_CHECK(r.word_count >= 1 && r.word_count <= prcontroller::kMaxWords, what);
  const auto announced = static_cast<std::size_t>(r.word_count - 1);
  const std::size_t n = r.args.size();  // fewer when words were lost
  FUZZ_CHECK(r.line == Request::Line::kComplete ? n == announced
             : r.line == Request::Line::kCut    ? n < announced
                                                : n <= announced, what);
  for (const auto& a : r.args) FUZZ_CHECK(a.size() < prcontroller::kCommandLineSize, what);

  prcontroller::FixedSource source(&state, ""), missing(nullptr, "no such file\x1b[2J");
  CheckReply(prcontroller::Answer(r, source, kNow), what);
  CheckReply(prcontroller::Answer(r, missing, kNow), what);
  return 0;
}
