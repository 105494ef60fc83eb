// prwatch and prbay run whole, as a user runs them: standard output,
// standard error and exit status checked, and what reached the controller
// checked word by word.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "e2e_util.h"

namespace {

using namespace testutil;

const char kWatchUsage[] =
    "Usage: prwatch [-\\?] [-e|E] [-l|L] [-v|V] [-a|A<age>] [-i|I<job ident>] "
    "[-j|J<job name>] [-n|N<number>] [-p|P<printer queue name>] [-s|S<status>] "
    "[-server <printerControllerName>]\n";
const char kBayUsage[] =
    "Usage: prbay [-p|P <queue name>] [-\\?] [-l|L] [-server <printerControllerName>]\n";

// The programs in an area of their own (AreaTest), with the
// controller's request directory also served behind the stand-in rcp as
// ctlhost's.
class ClientArea : public AreaTest {
 protected:
  Outcome RunClient(const char* program, std::vector<std::string> args) {
    return RunProgram(area_.StubbedClient(std::move(args), {}, program));
  }

  // Answers on this host (or ctlhost) with `reply`, recording what came.
  void Answer(const std::string& reply, bool remote = false) {
    ctl_ = Answering(remote ? remoteDir_ : area_.requests(), reply, &seen_);
  }

  bool NothingSent() {
    return ListDir(area_.requests()).empty() && ListDir(remoteDir_).empty() && seen_.empty();
  }

  const std::string remoteDir_ = area_ / "hosts/ctlhost" + area_.requests();
  std::unique_ptr<TestController> ctl_;
  std::vector<SeenRequest> seen_;
};

// What reaches the controller: local options taken out, the rest forwarded
// in order. Without -nwait the first poll waits the default 5 seconds.
TEST_F(ClientArea, OptionsForwardedToTheControllerAndTheReplyRelayed) {
  const struct {
    const char* program;
    std::vector<std::string> args;
    bool remote;
    std::string line, count;
  } cases[] = {
      {"prwatch", {"-l"}, false, "prwatch \"-l\"", "2"},
      {"prwatch",
       {"-p", "q 1", "-se", "ctlhost", "-nwait", "3", "-L", "-nw", "0", "-s", "held", "-n", "2", "-Server", "x"}, true,
       "prwatch \"-p\" \"q 1\" \"-nwait\" \"3\" \"-L\" \"-s\" \"held\" \"-n\" \"2\" \"-Server\" \"x\"", "12"},
      // prbay takes out its first -server only; short forms are forwarded.
      {"prbay", {"-p", "q1", "-se", "ctlhost", "-server", "hostB"}, true,
       "prbay \"-p\" \"q1\" \"-server\" \"hostB\"", "5"},
      {"prbay", {"-s", "hostA", "-servername", "x"}, false,
       "prbay \"-s\" \"hostA\" \"-servername\" \"x\"", "5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    seen_.clear();
    Answer("4\nlisting\n", c.remote);
    const auto t0 = std::chrono::steady_clock::now();
    Outcome o = RunClient(c.program, c.args);
    const auto took = std::chrono::steady_clock::now() - t0;
    ctl_.reset();
    EXPECT_EQ(o, (Outcome{"listing\n", "", 4}));  // the reply's status, no message of its own
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(std::tie(seen_[0].request, seen_[0].line, seen_[0].count), std::tie(c.program, c.line, c.count));
    const bool noWait = std::find(c.args.begin(), c.args.end(), "-nw") != c.args.end();
    EXPECT_EQ(took >= std::chrono::seconds(5), !noWait);
  }
}

TEST_F(ClientArea, IllegalOptionsSendNothing) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"prwatch", {"-server"}},  {"prwatch", {"-l", "-"}},        {"prwatch", {"-server", "-l"}},
      {"prwatch", {"-nt"}},      {"prwatch", {"-nwait", "-1"}},    {"prwatch", {"-server", "-nwait", "5"}},
      {"prwatch", {"-server", std::string(32, 'h')}},              {"prbay", {"-p", "q1", "-server"}},
      {"prbay", {"-server", "-l"}}, {"prbay", {"-"}},              {"prbay", {"-server", std::string(32, 'h')}},
  };
  for (const auto& [program, args] : cases) {
    Outcome o = RunClient(program, args);
    const char* usage = program == std::string("prbay") ? kBayUsage : kWatchUsage;
    EXPECT_EQ(o, (Outcome{std::string(program) + ": illegal option \n", usage, 255})) << args[0];
  }
  EXPECT_TRUE(NothingSent());
}

TEST_F(ClientArea, PrwatchTriesAndWaitValues) {
  // No controller behind ctlhost: the polls are counted in the rcp log.
  Outcome o = RunClient("prwatch", {"-server", "ctlhost", "-ntries", "3x", "-nwait", "0"});
  EXPECT_EQ(o, (Outcome{"", "Server not responding\n", 255}));
  EXPECT_EQ(Fetches(), 3);
  // A value without a number leaves the default of 12 polls.
  RunClient("prwatch", {"-server", "ctlhost", "-ntries", "abc", "-nwait", "0"});
  EXPECT_EQ(Fetches(), 3 + 12);
  // A value that begins with a blank passes the dash test: no wait at all.
  auto t0 = std::chrono::steady_clock::now();
  RunClient("prwatch", {"-server", "ctlhost", "-ntries", "2", "-nwait", " -5"});
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  EXPECT_EQ(Fetches(), 3 + 12 + 2);
}

TEST_F(ClientArea, ConfigurationIsReadFirst) {
  for (const char* conf : {"", "# nothing\n", "hostA hostB\n/p/\n/q/\n", static_cast<const char*>(nullptr)}) {
    if (conf) WriteFile(area_ / "cconf", conf);
    else unlink((area_ / "cconf").c_str());
    for (const char* program : {"prwatch", "prbay"}) {
      Outcome o = RunClient(program, {"-server", "ctlhost", "-server"});
      EXPECT_EQ(o, (Outcome{"", "Error opening configuration file: cconf\n", 255}));
    }
  }
  EXPECT_TRUE(NothingSent());
}

}  // namespace
