// The controller's spool state reader, and the listings drawn from it, on
// arbitrary bytes. The state file is written by hand or by other programs,
// and whatever it holds reaches users' terminals through the listings.
//
// A first line "#!prwatch ARGS" or "#!prbay ARGS" (a comment to the state
// reader) picks the request to answer, its arguments split at blanks;
// without it a fixed set of requests is answered.
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "check.h"
#include "prcontroller/answer.h"
#include "prcontroller/state.h"

namespace {

using prcontroller::Request;

constexpr std::time_t kNow = 1714555800;

Request Make(std::string_view line) {
  Request r;
  r.control_name = "sprAAAAAA";
  r.reply_name = "1a2b3c4d";
  std::size_t at = 0;
  bool first = true;
  while (at <= line.size()) {
    std::size_t blank = line.find(' ', at);
    if (blank == std::string_view::npos) blank = line.size();
    std::string word(line.substr(at, blank - at));
    if (first) {
      r.request_name = word;
      first = false;
    } else if (!word.empty() && r.args.size() + 1 < prcontroller::kMaxWords) {
      r.args.push_back(word);
    }
    at = blank + 1;
  }
  r.word_count = static_cast<int>(r.args.size()) + 1;
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<prcontroller::StateProblem> problems;
  const prcontroller::SpoolState state = prcontroller::ParseState(text, kNow, &problems);

  std::size_t lines = 0;
  for (char c : text) lines += c == '\n';
  if (!text.empty() && text.back() != '\n') ++lines;
  for (const auto& p : problems) {
    FUZZ_CHECK(p.line >= 1 && p.line <= lines, fuzzcheck::Show(text));
    FUZZ_CHECK(!p.message.empty(), fuzzcheck::Show(text));
  }

  std::vector<Request> requests;
  if (text.substr(0, 2) == "#!") {
    requests.push_back(Make(text.substr(2, text.find('\n') - 2)));
  } else {
    for (const char* line : {"prwatch", "prwatch -l", "prwatch -v -e", "prwatch -a 1h -p lp*",
                             "prbay", "prbay -l"})
      requests.push_back(Make(line));
  }
  prcontroller::FixedSource source(&state, "");
  for (const Request& r : requests) {
    const prcontroller::Reply reply = prcontroller::Answer(r, source, kNow);
    const std::string problem = fuzzcheck::TerminalProblem(reply.text);
    FUZZ_CHECK(problem.empty(), problem + " in " + fuzzcheck::Show(reply.text) +
                                    " from state " + fuzzcheck::Show(text));
  }
  return 0;
}
