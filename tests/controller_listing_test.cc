// What each option does to the listings, how user text is shown, and the
// reply each kind of request gets.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "controller_test_util.h"
#include "prcontroller/answer.h"
#include "prcontroller/escape.h"
#include "prcontroller/listing.h"
#include "prcontroller/options.h"
#include "prcontroller/state.h"

namespace prcontroller {
namespace {

using Args = std::vector<std::string>;
using Ids = std::vector<std::string>;

constexpr std::time_t kNow = 1714555800;  // submission times count back from it

SpoolState Fixture() {
  std::vector<StateProblem> problems;
  SpoolState state = ParseState(
      "queue lp1 ready \"Second floor\"\n"
      "queue lp2 paused Reception\n"
      "queue big offline\n"
      "job 1 lp1 alice printing 2048 3 -5m report\n"
      "job 2 lp1 bob queued 100 1 -90m job17\n"
      "job 3 lp2 carol error 5000000 40 -3h job170\n"
      "job 4 big dave held 7 1 -2d \"plan \\e[2J\"\n"
      "job 5 lp2 erin done 10 1 -1d job17\n"
      "job 6 lp1 \"fr\\x07nk\" error 1 1 -1m notes\n",
      kNow, &problems);
  EXPECT_TRUE(problems.empty());
  return state;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The first column of a table listing's rows (after the restating line
// and the header).
Ids RowKeys(const std::string& text) {
  Ids keys;
  const auto lines = Lines(text);
  for (std::size_t i = 2; i < lines.size(); ++i)
    keys.push_back(lines[i].substr(0, lines[i].find(' ')));
  return keys;
}

Reply Jobs(const Args& args) {
  JobQuery query;
  const std::string error = ParseJobOptions(args, &query);
  EXPECT_EQ(error, "");
  return ListJobs(query, Fixture(), kNow);
}

TEST(ControllerEscape, ControlCharactersBecomeVisible) {
  const struct {
    std::string in, visible, quoted;
  } cases[] = {
      {"plain text", "plain text", "\"plain text\""},
      {"\x1b[31mred", "^[[31mred", "\"^[[31mred\""},
      {std::string("nul\0bel\x07\n", 9), "nul^@bel^G^J", "\"nul^@bel^G^J\""},
      {"del\x7f", "del^?", "\"del^?\""},
      {"Z\xc3\xbcrich \xe2\x82\xac", "Z\xc3\xbcrich \xe2\x82\xac", "\"Z\xc3\xbcrich \xe2\x82\xac\""},
      // Escapes made here keep one backslash; a backslash the text holds
      // is doubled when quoted, so the two never read alike.
      {"csi\xc2\x9b", "csi\\u009B", "\"csi\\u009B\""},
      {"rlo\xe2\x80\xae", "rlo\\u202E", "\"rlo\\u202E\""},
      {"raw\x9b\xff", "raw\\x9B\\xFF", "\"raw\\x9B\\xFF\""},
      {"overlong\xc0\xaf", "overlong\\xC0\\xAF", "\"overlong\\xC0\\xAF\""},
      {"cut\xe2\x82", "cut\\xE2\\x82", "\"cut\\xE2\\x82\""},
      {"text \\x41", "text \\x41", "\"text \\\\x41\""},
      {"say \"hi\" \\o/", "say \"hi\" \\o/", "\"say \\\"hi\\\" \\\\o/\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Visible(c.in), c.visible) << c.visible;
    EXPECT_EQ(Quoted(c.in), c.quoted) << c.visible;
  }
  EXPECT_EQ(DisplayWidth("Z\xc3\xbcrich"), 6u);
}

TEST(ControllerOptions, MisusesGetOneLineSayingWhy) {
  const struct {
    Args args;
    const char* error;
  } cases[] = {
      {{"-x"}, "unknown option \"-x\"; -? lists the options"},
      {{"-lx"}, "unknown option \"-x\" in \"-lx\""},
      {{"--"}, "unknown option \"--\""},
      {{"-\x1b"}, "unknown option \"-^[\""},
      {{"-p"}, "option \"-p\" needs a printer queue name"},
      {{"-l", "-S"}, "option \"-S\" needs a status"},
      {{"queue1"}, "unexpected argument \"queue1\""},
      {{"-"}, "unexpected argument \"-\""},
      {{""}, "unexpected argument \"\""},
      {{"-a", "soon"}, "bad job age \"soon\""},
      {{"-a", "-5"}, "bad job age \"-5\""},
      {{"-a", ""}, "bad job age \"\""},
      {{"-n", "0"}, "bad number \"0\""},
      {{"-n2x"}, "bad number \"2x\""},
      {{"-s", "lost"}, "unknown status \"lost\""},
      {{"-x", "-?"}, "unknown option \"-x\""},
  };
  for (const auto& c : cases) {
    JobQuery query;
    EXPECT_NE(ParseJobOptions(c.args, &query).find(c.error), std::string::npos)
        << c.error << " / got: " << ParseJobOptions(c.args, &query);
  }
  QueueQuery queues;
  EXPECT_NE(ParseQueueOptions({"-e"}, &queues).find("unknown option \"-e\""), std::string::npos);
  EXPECT_NE(ParseQueueOptions({"-P"}, &queues).find("needs a queue name"), std::string::npos);
}

TEST(ControllerOptions, ValuesTakenAsGivenLastOneCountsHelpStops) {
  JobQuery q;
  ASSERT_EQ(ParseJobOptions({"-j", "-l", "-p", "a", "-Pb", "-S", "Held"}, &q), "");
  EXPECT_EQ(q.name, "-l");  // a value is taken as given, even with a dash
  EXPECT_FALSE(q.long_format);
  EXPECT_EQ(q.queue, "b");
  EXPECT_EQ(q.status, JobStatus::kHeld);

  JobQuery help;  // what follows -? does not matter
  EXPECT_EQ(ParseJobOptions({"-l", "-?", "-x"}, &help), "");
  EXPECT_TRUE(help.help);

  EXPECT_EQ(ParseAge("30"), 1800);
  EXPECT_EQ(ParseAge("45s"), 45);
  EXPECT_EQ(ParseAge("1D"), 86400);
}

TEST(ControllerListing, EachJobOptionFiltersAndIsRestated) {
  const struct {
    Args args;
    int status;
    Ids ids;
    const char* first_line;
  } cases[] = {
      {{}, kStatusOk, {"1", "2", "3", "4", "5", "6"}, "All jobs: 6"},
      {{"-jjob17"}, kStatusOk, {"2", "5"}, "Jobs matching name \"job17\": 2"},
      {{"-J", "job17*"}, kStatusOk, {"2", "3", "5"}, "Jobs matching name \"job17*\": 3"},
      {{"-p", "lp1"}, kStatusOk, {"1", "2", "6"}, "Jobs matching queue \"lp1\": 3"},
      {{"-Plp*", "-s", "queued"}, kStatusOk, {"2"},
       "Jobs matching queue \"lp*\", status \"queued\": 1"},
      {{"-s", "ERROR"}, kStatusOk, {"3", "6"}, "Jobs matching status \"ERROR\": 2"},
      {{"-e"}, kStatusOk, {"3", "6"}, "Jobs matching in error: 2"},
      {{"-E", "-p", "lp2"}, kStatusOk, {"3"}, "Jobs matching queue \"lp2\", in error: 1"},
      {{"-a", "60"}, kStatusOk, {"2", "3", "4", "5"},
       "Jobs matching age at least \"60\" minutes: 4"},
      {{"-A2h"}, kStatusOk, {"3", "4", "5"}, "Jobs matching age at least \"2h\": 3"},
      {{"-i", "4"}, kStatusOk, {"4"}, "Jobs matching id \"4\": 1"},
      {{"-i", "job17"}, kStatusNoMatch, {}, "No jobs matching id \"job17\""},
      {{"-n", "2"}, kStatusOk, {"1", "2"}, "All jobs: 6, first 2 shown"},
      {{"-n2", "-e"}, kStatusOk, {"3", "6"}, "Jobs matching in error: 2"},
      {{"-j", "job17", "-p", "q9"}, kStatusNoMatch, {},
       "No jobs matching name \"job17\", queue \"q9\""},
      {{"-j", "\x1b[2J\""}, kStatusNoMatch, {}, "No jobs matching name \"^[[2J\\\"\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first_line);
    const Reply reply = Jobs(c.args);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(Lines(reply.text).at(0), c.first_line);
    EXPECT_EQ(RowKeys(reply.text), c.ids);
  }
  const Reply none = ListJobs(JobQuery{}, SpoolState{}, kNow);
  EXPECT_EQ(none.status, kStatusNoMatch);
  EXPECT_EQ(none.text, "No jobs\n");
}

TEST(ControllerListing, LongFormatAlignsItsColumns) {
  const auto lines = Lines(Jobs({"-l"}).text);
  ASSERT_EQ(lines.size(), 8u);
  const std::string& header = lines[1];
  EXPECT_EQ(header.find("JOB"), 0u);
  for (const char* column : {"OWNER", "QUEUE", "STATUS", "SIZE", "PAGES", "SUBMITTED", "AGE"})
    EXPECT_NE(header.find(column), std::string::npos) << column;
  const std::size_t name_at = header.find("NAME");
  const std::size_t pages_end = header.find("PAGES") + 5;
  EXPECT_EQ(lines[2].substr(name_at), "report");
  EXPECT_EQ(lines[4].substr(name_at), "job170");
  EXPECT_EQ(lines[5].substr(name_at), "plan ^[[2J");
  EXPECT_EQ(lines[4].substr(pages_end - 2, 2), "40");  // numbers align right
  EXPECT_EQ(lines[4].find("4.8M"), lines[2].find("2.0K"));
  EXPECT_NE(lines[4].find("3h00m"), std::string::npos);
  EXPECT_NE(lines[5].find("2d00h"), std::string::npos);

  const auto short_lines = Lines(Jobs({}).text);
  EXPECT_EQ(short_lines[1], "JOB  OWNER   QUEUE  STATUS    NAME");  // "fr^Gnk" is 6 wide
  EXPECT_EQ(short_lines[2], "1    alice   lp1    printing  report");
}

TEST(ControllerListing, VerboseShowsEveryFieldPerJob) {
  ::setenv("TZ", "UTC0", 1);
  ::tzset();
  const std::string text = Jobs({"-v", "-i", "3"}).text;
  EXPECT_EQ(text,
            "Jobs matching id \"3\": 1\n"
            "\n"
            "Job 3\n"
            "  Name:       job170\n"
            "  Owner:      carol\n"
            "  Queue:      lp2 (paused: Reception)\n"
            "  Status:     error\n"
            "  Size:       5000000 bytes (4.8M)\n"
            "  Pages:      40\n"
            "  Submitted:  2024-05-01 06:30:00 (3h00m ago)\n");
}

TEST(ControllerListing, NoListingCarriesAControlCharacter) {
  for (const Args& args : {Args{}, Args{"-l"}, Args{"-v"}, Args{"-j", "\x1b]0;x\x07"}}) {
    const std::string text = Jobs(args).text;
    for (char c : text)
      EXPECT_TRUE(c == '\n' || (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f))
          << "byte " << int(c) << " in\n" << text;
  }
  const std::string text = Jobs({"-i", "6"}).text;
  EXPECT_NE(text.find("fr^Gnk"), std::string::npos);
}

TEST(ControllerListing, QueueOptions) {
  const struct {
    Args args;
    int status;
    Ids queues;
    const char* first_line;
  } cases[] = {
      {{}, kStatusOk, {"lp1", "lp2", "big"}, "All queues: 3"},
      {{"-p", "lp*"}, kStatusOk, {"lp1", "lp2"}, "Queues matching \"lp*\": 2"},
      {{"-Pbig"}, kStatusOk, {"big"}, "Queues matching \"big\": 1"},
      {{"-L", "-p", "lp2"}, kStatusOk, {"lp2"}, "Queues matching \"lp2\": 1"},
      {{"-p", "none"}, kStatusNoMatch, {}, "No queues matching \"none\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first_line);
    QueueQuery query;
    ASSERT_EQ(ParseQueueOptions(c.args, &query), "");
    const Reply reply = ListQueues(query, Fixture());
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(Lines(reply.text).at(0), c.first_line);
    EXPECT_EQ(RowKeys(reply.text), c.queues);
  }
  QueueQuery plain;
  EXPECT_EQ(Lines(ListQueues(plain, Fixture()).text).at(2),
            "lp1    ready       3  Second floor");
  QueueQuery wide;
  wide.long_format = true;
  const auto lines = Lines(ListQueues(wide, Fixture()).text);
  EXPECT_EQ(lines[1], "QUEUE  STATE    QUEUED  PRINTING  HELD  ERROR  DONE  PAGES  DESCRIPTION");
  EXPECT_EQ(lines[3], "lp2    paused        0         0     0      1     1     40  Reception");
}

Reply AnswerTo(const std::string& request, const Args& args,
               const SpoolState* state = nullptr, std::string_view why = "") {
  const ParsedRequest parsed =
      ParseRequest(ctltest::ClientImage("sprAAAAAA", "r1", request, args));
  EXPECT_TRUE(parsed.request) << parsed.error;
  return Answer(parsed.request.value_or(Request{}), state, why, kNow);
}

TEST(ControllerAnswer, StatusAndOneLineForEveryRefusal) {
  const SpoolState state = Fixture();
  const struct {
    Reply reply;
    int status;
    const char* line;
  } cases[] = {
      {AnswerTo("prfoo", {}, &state), kStatusUnknownRequest,
       "prcontroller: unknown request \"prfoo\"; this controller answers prwatch and prbay"},
      {AnswerTo("prwatch", {"-x"}, &state), kStatusBadArguments,
       "prwatch: unknown option \"-x\"; -? lists the options"},
      {AnswerTo("prbay", {"-j", "x"}, &state), kStatusBadArguments,
       "prbay: unknown option \"-j\"; -? lists the options"},
      {AnswerTo("prwatch", {"-p", "q1", "-j", std::string(70, 'n')}, &state),
       kStatusBadArguments,
       "prwatch: arguments cut: a request's command line holds 79 characters, "
       "too few for these 5 words; shorten the arguments"},
      {AnswerTo("prwatch", {"-j", "a\" \"b"}, &state), kStatusBadArguments,
       "prwatch: an argument holds a quote, a blank and a quote, so the "
       "arguments cannot be told apart; leave that sequence out"},
      {AnswerTo("prwatch", {}, nullptr, "cannot read /x: No such file"), kStatusNoState,
       "prwatch: spool state unavailable: cannot read /x: No such file"},
      {MalformedReply("the request is 7 bytes long\x1b"), kStatusMalformed,
       "prcontroller: malformed request: the request is 7 bytes long^["},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.reply.status, c.status) << c.line;
    EXPECT_EQ(c.reply.text, std::string(c.line) + "\n");
  }
  // Help needs no spool state.
  EXPECT_EQ(AnswerTo("prwatch", {"-?"}).status, kStatusOk);
  EXPECT_EQ(AnswerTo("prbay", {"-?"}).text, QueueHelpText());
  EXPECT_EQ(AnswerTo("prwatch", {"-j", "job17"}, &state).status, kStatusOk);
  EXPECT_EQ(ReplyContent({3, "x\n"}), "3\nx\n");
}

}  // namespace
}  // namespace prcontroller
