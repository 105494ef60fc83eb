// The reply each request gets: what each option does to the listings, and
// why a request is refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "prcontroller/answer.h"
#include "prcontroller/listing.h"
#include "prcontroller/request.h"
#include "prcontroller/state_file.h"

namespace prcontroller {
namespace {

using namespace testutil;

using Args = std::vector<std::string>;
using Keys = std::vector<std::string>;

constexpr std::time_t kNow = 1714555800;  // submission times count back from it

// Every reply opens with a line that restates the question (or says why
// it was refused), so that a client with many requests out can tell which
// one a reply answers; the keys are the listed rows' first column.
TEST(ControllerAnswer, EachRequestGetsItsStatusRestatingLineAndRows) {
  std::vector<StateProblem> problems;
  const SpoolState state = ParseState(
      "queue lp1 ready \"Second floor\"\n"
      "queue lp2 paused Reception\n"
      "queue big offline \"\\e]0;owned\\x07\"\n"
      "job 1 lp1 alice printing 2048 3 -5m report\n"
      "job 2 lp1 bob queued 100 1 -90m job17\n"
      "job 3 lp2 carol error 5000000 40 -3h job170\n"
      "job 4 big dave held 7 1 -2d \"plan \\e[2J\"\n"
      "job 5 lp2 erin done 10 1 -1d job17\n"
      "job 6 lp1 \"fr\\x07nk\" error 1 1 -1m notes\n",
      kNow, &problems);
  EXPECT_TRUE(problems.empty());
  const auto answer = [](const std::string& request, const Args& args, const SpoolState* state,
                         const std::string& why = "") {
    Request parsed;
    std::string err;
    EXPECT_TRUE(ParseRequest(ClientImage("sprAAAAAA", "r1", request, args), &parsed, &err)) << err;
    FixedSource source(state, why);
    return Answer(parsed, source, kNow);
  };

  const struct {
    const char* request;
    Args args;
    int status;
    const char* line;  // how the first line starts
    Keys keys;
  } cases[] = {
      {"prwatch", {}, kStatusOk, "All jobs: 6", {"1", "2", "3", "4", "5", "6"}},
      {"prwatch", {"-jjob17"}, kStatusOk, "Jobs matching name \"job17\": 2", {"2", "5"}},
      {"prwatch", {"-Plp*", "-s", "queued"}, kStatusOk,
       "Jobs matching queue \"lp*\", status \"queued\": 1", {"2"}},
      {"prwatch", {"-e"}, kStatusOk, "Jobs matching in error: 2", {"3", "6"}},
      {"prwatch", {"-a", "60"}, kStatusOk, "Jobs matching age at least \"60\" minutes: 4",
       {"2", "3", "4", "5"}},
      {"prwatch", {"-a", "3600s"}, kStatusOk, "Jobs matching age at least", {"2", "3", "4", "5"}},
      {"prwatch", {"-a", "0"}, kStatusOk, "Jobs matching age at least", {"1", "2", "3", "4", "5", "6"}},
      {"prwatch", {"-n", "2"}, kStatusOk, "All jobs: 6, first 2 shown", {"1", "2"}},
      {"prwatch", {"-j", "\x1b[2J\""}, kStatusNoMatch, "No jobs matching name \"^[[2J\\\"\"", {}},
      // A value is taken as given, even with a dash; the last one counts.
      {"prwatch", {"-j", "-l"}, kStatusNoMatch, "No jobs matching name \"-l\"", {}},
      {"prwatch", {"-p", "lp1", "-Pbig", "-S", "Held"}, kStatusOk,
       "Jobs matching queue \"big\", status \"Held\": 1", {"4"}},
      {"prbay", {}, kStatusOk, "All queues: 3", {"lp1", "lp2", "big"}},
      {"prbay", {"-p", "none"}, kStatusNoQueue, "prbay: no queue named \"none\"", {}},
      {"prwatch", {"-p", "lp9", "-s", "done"}, kStatusNoQueue, "prwatch: no queue named", {}},
      // Refusals: one line saying why.
      {"prfoo", {}, kStatusUnknownRequest, "prcontroller: unknown request \"prfoo\"", {}},
      {"prwatch", {"-lx"}, kStatusBadArguments, "prwatch: unknown option \"-x\" in \"-lx\"", {}},
      {"prwatch", {"-p"}, kStatusBadArguments, "prwatch: option \"-p\" needs a printer", {}},
      {"prwatch", {"queue1"}, kStatusBadArguments, "prwatch: unexpected argument \"queue1\"", {}},
      {"prwatch", Args(14, "-lv"), kStatusBadArguments, "prwatch: arguments cut", {}},
      {"prwatch", {"-j", "a\" \"b"}, kStatusBadArguments, "prwatch: an argument holds", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const Reply reply = answer(c.request, c.args, &state);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.text.rfind(c.line, 0), 0u) << reply.text;
    std::istringstream in(reply.text);
    Keys keys;  // every line's: a refusal's one line has no header after it, a listing does
    for (std::string line; std::getline(in, line);) keys.push_back(line.substr(0, line.find(' ')));
    EXPECT_EQ(keys.size(), c.keys.empty() ? 1 : c.keys.size() + 2);
    EXPECT_EQ(Keys(keys.begin() + std::min<std::size_t>(keys.size(), 2), keys.end()), c.keys);
  }
  // Help needs no spool state, and what follows -? does not matter.
  EXPECT_EQ(answer("prwatch", {"-l", "-?", "-x"}, nullptr).text, JobHelpText());
  EXPECT_EQ(answer("prbay", {"-?"}, nullptr).text, QueueHelpText());
  const Reply no_state = answer("prwatch", {}, nullptr, "cannot read /x\x1b: No such file");
  EXPECT_EQ(no_state.status, kStatusNoState);
  EXPECT_EQ(no_state.text, "prwatch: spool state unavailable: cannot read /x^[: No such file\n");
  const Reply malformed = MalformedReply("the request is 7 bytes long\x1b");
  EXPECT_EQ(malformed.status, kStatusMalformed);
  EXPECT_EQ(malformed.text, "prcontroller: malformed request: the request is 7 bytes long^[\n");
}

}  // namespace
}  // namespace prcontroller
