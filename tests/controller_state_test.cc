// The spool state file: its format, and damaged lines.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "prcontroller/state.h"

namespace prcontroller {
namespace {

// Each damaged line among good ones is skipped and named; the good lines
// around it, in every form the format allows, still count.
TEST(ControllerState, DamagedLinesAreSkippedAndNamedAndTheRestRead) {
  const struct {
    std::string line;
    const char* problem;
  } cases[] = {
      {"printer lp9 ready", "unknown record"},
      {"queue lp1 ready again", "declared twice"},
      {"job 1 lp1 a queued 1 1 -1m", "ID QUEUE OWNER"},
      {"job 1 lp1 a lost 1 1 -1m x", "unknown job status"},
      {"job 1 lp1 a queued 1k 1 -1m x", "size"},
      {"job 1 lp1 a queued 1 1 yesterday x", "submitted time"},
      {"job 1 lp1 a queued 1 1 -1m \"open", "unterminated"},
      {"job 1 lp1 a queued 1 1 -1m \"bad\\q\"", "unknown escape"},
      {"job 1 lp1 a queued 1 1 -1m \"x\"y", "after a closing quote"},
      {"job 1 nowhere a queued 1 1 -1m x", "undeclared queue"},
      {"job 7 lp1 a queued 1 1 -1m again", "used twice"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    std::vector<StateProblem> problems;
    const SpoolState state = ParseState(
        "# a comment\n\nqueue lp1 ready \"Second floor, duplex\"   # trailing comment\n"
        "queue \"q 2\"\tpaused\r\n"
        "job 7 lp1 alice PRINTING 1234 5 2024-05-01T09:30 \"a \\\"quoted\\\" \\\\ name\"\n" +
            c.line + "\njob 8 \"q 2\" bob held 0 0 1714555800 \"\\e[1m\\x7f\\101\\t\"\n",
        1000000, &problems);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].line, 6u);
    EXPECT_NE(problems[0].message.find(c.problem), std::string::npos) << problems[0].message;
    ASSERT_EQ(state.queues.size(), 2u);
    EXPECT_EQ(state.queues[0].description, "Second floor, duplex");
    ASSERT_EQ(state.jobs.size(), 2u);
    EXPECT_EQ(std::tie(state.jobs[0].status, state.jobs[0].name),
              std::tuple(JobStatus::kPrinting, "a \"quoted\" \\ name"));
    EXPECT_EQ(std::tie(state.jobs[1].queue, state.jobs[1].name, state.jobs[1].submitted),
              std::tuple("q 2", "\x1b[1m\x7f" "A\t", 1714555800));
  }
}

}  // namespace
}  // namespace prcontroller
