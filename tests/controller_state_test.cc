// The spool state file: its format, damaged lines, and what its reads log.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "posix_util.h"
#include "prcontroller/log.h"
#include "prcontroller/state_file.h"
#include "test_util.h"

namespace prcontroller {
namespace {

using namespace testutil;

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

  // Read from a file, a skipped line and a failed read are warnings in the
  // journal, the read itself routine: --quiet drops it.
  TempDir dir;
  WriteFile(dir / "state", "queue lp1 ready\nprinter lp9 ready\n");
  for (const bool quiet : {true, false}) {
    const prclient::Fd journal(open((dir / "journal").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    struct stat st {};
    ASSERT_EQ(fstat(journal.get(), &st), 0);
    const ScopedEnv stream("JOURNAL_STREAM", std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino));
    const prclient::Fd saved(dup(STDERR_FILENO));
    ASSERT_EQ(dup2(journal.get(), STDERR_FILENO), STDERR_FILENO);
    const Log log(quiet);
    std::string problem;
    EXPECT_NE(StateFile(dir / "state", log).Current(StateScope{}, &problem), nullptr);
    EXPECT_EQ(StateFile(dir / "none", log).Current(StateScope{}, &problem), nullptr);
    dup2(saved.get(), STDERR_FILENO);
    EXPECT_EQ(ReadFile(dir / "journal"),
              "<4>" + dir / "state" + ":2: skipped: unknown record \"printer\"; expected queue or job\n" +
                  (quiet ? "" : "<6>read state file " + dir / "state" + ": 1 queues, 0 jobs\n") +
                  "<4>cannot read state file " + dir / "none" + ": No such file or directory\n");
  }
}

}  // namespace
}  // namespace prcontroller
