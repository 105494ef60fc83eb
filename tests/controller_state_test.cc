// The spool state file: its format, damaged lines, and re-reading it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "prcontroller/state.h"

namespace prcontroller {
namespace {

TEST(ControllerState, ReadsRecordsFieldsAndEscapes) {
  std::vector<StateProblem> problems;
  const SpoolState state = ParseState(
      "# a comment\n"
      "\n"
      "queue lp1 ready \"Second floor, duplex\"   # trailing comment\n"
      "queue \"q 2\"\tpaused\r\n"
      "job 17 lp1 alice PRINTING 1234 5 -90m \"a \\\"quoted\\\" \\\\ name\"\n"
      "job 18 \"q 2\" bob held 0 0 2024-05-01T09:30 \"\\e[1m\\x7f\\101\\t\"\n"
      "job 19 lp1 carol done 1 1 1714555800 \"\"\n",
      1000000, &problems);
  EXPECT_TRUE(problems.empty()) << problems[0].message;
  ASSERT_EQ(state.queues.size(), 2u);
  EXPECT_EQ(state.queues[0].description, "Second floor, duplex");
  ASSERT_EQ(state.jobs.size(), 3u);
  EXPECT_EQ(state.jobs[0].status, JobStatus::kPrinting);
  EXPECT_EQ(state.jobs[0].name, "a \"quoted\" \\ name");
  EXPECT_EQ(state.jobs[1].queue, "q 2");
  EXPECT_EQ(state.jobs[1].name, "\x1b[1m\x7f" "A\t");
  EXPECT_EQ(state.jobs[2].submitted, 1714555800);
}

TEST(ControllerState, DamagedLinesAreSkippedAndNamed) {
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
        "queue lp1 ready\njob 7 lp1 a queued 1 1 -1m x\n" + c.line + "\njob 8 lp1 b held 1 1 -1m y\n",
        0, &problems);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].line, 3u);
    EXPECT_NE(problems[0].message.find(c.problem), std::string::npos) << problems[0].message;
    EXPECT_EQ(state.jobs.size(), 2u) << "the good lines around it still count";
  }
}

}  // namespace
}  // namespace prcontroller
