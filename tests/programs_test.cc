// prwatch and prbay run whole, as a user runs them: standard output,
// standard error and exit status checked, and what reached the controller
// checked word by word.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "process.h"
#include "test_util.h"

namespace {

using testutil::Outcome;
using testutil::SeenRequest;

const char kWatchUsage[] =
    "Usage: prwatch [-\\?] [-e|E] [-l|L] [-v|V] [-a|A<age>] [-i|I<job ident>] "
    "[-j|J<job name>] [-n|N<number>] [-p|P<printer queue name>] [-s|S<status>] "
    "[-server <printerControllerName>]\n";
const char kBayUsage[] =
    "Usage: prbay [-p|P <queue name>] [-\\?] [-l|L] [-server <printerControllerName>]\n";

// A client's working area: its configuration "cconf", its scratch directory
// "spool/", the controller's request directory "requests/" on this host and
// the same path below "hosts/ctlhost" behind the stand-in rcp.
class ClientArea : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* d : {"spool", "requests"}) mkdir((area_ / d).c_str(), 0755);
    std::filesystem::create_directories(remoteDir_);
    WriteConf(testutil::HostName() + "\n/print/\n" + area_ / "requests/" + "\n");
  }
  void TearDown() override {
    EXPECT_EQ(testutil::ListDir(area_ / "spool"), std::vector<std::string>{});
  }
  void WriteConf(const std::string& text) { testutil::WriteFile(area_ / "cconf", text); }

  Outcome Run(const char* program, std::vector<std::string> args) {
    return testutil::Run({std::string(E2E_BIN) + "/" + program, std::move(args), area_.path(),
                          {"PATH=" + testutil::StubBinDir() + ":" + getenv("PATH"),
                           "RCP_ROOT=" + area_ / "hosts"},
                          {}});
  }

  // Answers on this host (or ctlhost) with `reply`, recording what came.
  void Answer(const std::string& reply, bool remote = false) {
    ctl_ = std::make_unique<testutil::TestController>(
        remote ? remoteDir_ : area_ / "requests",
        [this, reply](const SeenRequest& req, std::string* out) {
          seen_.push_back(req);
          *out = reply;
          return true;
        });
  }
  void StopAnswering() { ctl_.reset(); }

  int Polls() {  // fetches made through the stand-in rcp
    std::string log = testutil::ReadFile(area_ / "hosts/log");
    int n = 0;
    for (std::size_t at = 0; (at = log.find("rcp ctlhost:", at)) != std::string::npos; ++at) ++n;
    return n;
  }
  bool NothingSent() {
    return testutil::ListDir(area_ / "requests").empty() &&
           testutil::ListDir(remoteDir_).empty() && seen_.empty();
  }

  testutil::TempDir area_;
  const std::string remoteDir_ = area_ / "hosts/ctlhost" + area_.path() + "/requests";
  std::unique_ptr<testutil::TestController> ctl_;
  std::vector<SeenRequest> seen_;
};

TEST_F(ClientArea, PrwatchWithoutArguments) {
  Answer("0\nno jobs\n");
  Outcome o = Run("prwatch", {});
  StopAnswering();
  EXPECT_EQ(o.out, "no jobs\n");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.exitCode, 0);
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_EQ(seen_[0].request, "prwatch");
  EXPECT_EQ(seen_[0].count, "1");
  EXPECT_EQ(seen_[0].line, "prwatch");
}

TEST_F(ClientArea, PrwatchLocalOptionsAreTakenOutTheRestForwarded) {
  Answer("4\nlisting\n", /*remote=*/true);
  Outcome o = Run("prwatch", {"-p", "q 1", "-se", "ctlhost", "-nwait", "3", "-L", "-nw", "0",
                              "-s", "held", "-n", "2", "-Server", "x"});
  StopAnswering();
  EXPECT_EQ(o.out, "listing\n");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.exitCode, 4);  // the reply's status, with no message of its own
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_EQ(seen_[0].line,
            "prwatch \"-p\" \"q 1\" \"-nwait\" \"3\" \"-L\" \"-s\" \"held\" \"-n\" \"2\" "
            "\"-Server\" \"x\"");
  EXPECT_EQ(seen_[0].count, "12");
}

TEST_F(ClientArea, PrwatchIllegalOptionsSendNothing) {
  const std::vector<std::vector<std::string>> cases = {
      {"-server"},          {"-l", "-"},          {"-server", "-l"},
      {"-server", "-nwait", "5"}, {"-nt"},         {"-nwait", "-1"},
      {"-server", std::string(32, 'h')},
  };
  for (const auto& args : cases) {
    Outcome o = Run("prwatch", args);
    EXPECT_EQ(o.out, "prwatch: illegal option \n") << args[0];
    EXPECT_EQ(o.err, kWatchUsage);
    EXPECT_EQ(o.exitCode, 255);
  }
  EXPECT_TRUE(NothingSent());
}

TEST_F(ClientArea, PrwatchTriesAndWaitValues) {
  // No controller behind ctlhost: the polls are counted in the rcp log.
  Outcome o = Run("prwatch", {"-server", "ctlhost", "-ntries", "3x", "-nwait", "0"});
  EXPECT_EQ(o.err, "Server not responding\n");
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.exitCode, 255);
  EXPECT_EQ(Polls(), 3);
  // A value without a number leaves the default of 12 polls.
  Outcome dflt = Run("prwatch", {"-server", "ctlhost", "-ntries", "abc", "-nwait", "0"});
  EXPECT_EQ(dflt.err, "Server not responding\n");
  EXPECT_EQ(Polls(), 3 + 12);
  // A value that begins with a blank passes the dash test: no wait at all.
  auto t0 = std::chrono::steady_clock::now();
  Run("prwatch", {"-server", "ctlhost", "-ntries", "2", "-nwait", " -5"});
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  EXPECT_EQ(Polls(), 3 + 12 + 2);
}

TEST_F(ClientArea, ConfigurationIsReadFirst) {
  const char* confs[] = {"", "# nothing\n", "hostA hostB\n/p/\n/q/\n", nullptr};
  for (const char* conf : confs) {
    if (conf) WriteConf(conf);
    else unlink((area_ / "cconf").c_str());
    for (const char* program : {"prwatch", "prbay"}) {
      Outcome o = Run(program, {"-server", "ctlhost", "-server"});
      EXPECT_EQ(o.out, "");
      EXPECT_EQ(o.err, "Error opening configuration file: cconf\n");
      EXPECT_EQ(o.exitCode, 255);
    }
  }
  EXPECT_TRUE(NothingSent());
}

TEST_F(ClientArea, PrbayForwardsAllButTheFirstServerOption) {
  Answer("3\nqueues\n", /*remote=*/true);
  Outcome o = Run("prbay", {"-p", "q1", "-se", "ctlhost", "-server", "hostB"});
  StopAnswering();
  EXPECT_EQ(o.out, "queues\n");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.exitCode, 3);
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_EQ(seen_[0].request, "prbay");
  EXPECT_EQ(seen_[0].line, "prbay \"-p\" \"q1\" \"-server\" \"hostB\"");
}

TEST_F(ClientArea, PrbayShortFormsGoToTheConfiguredHost) {
  Answer("0\nq\n");
  Outcome o = Run("prbay", {"-s", "hostA", "-servername", "x"});
  StopAnswering();
  EXPECT_EQ(o.exitCode, 0);
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_EQ(seen_[0].line, "prbay \"-s\" \"hostA\" \"-servername\" \"x\"");
}

TEST_F(ClientArea, PrbayIllegalOptions) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-p", "q1", "-server"}, {"-server", "-l"}, {"-"},
        {"-server", std::string(40, 'h')}}) {
    Outcome o = Run("prbay", args);
    EXPECT_EQ(o.out, "prbay: illegal option \n");
    EXPECT_EQ(o.err, kBayUsage);
    EXPECT_EQ(o.exitCode, 255);
  }
  EXPECT_TRUE(NothingSent());
}

// Against the stand-in controller itself, with its sample state.
class WithController : public ClientArea {
 protected:
  void SetUp() override {
    ClientArea::SetUp();
    controller_ = testutil::Start({CONTROLLER_BIN,
                                   {"--dir", area_ / "requests", "--state", SAMPLE_STATE},
                                   "", {}, {}},
                                  logs_.path());
  }
  void TearDown() override {
    kill(controller_, SIGTERM);
    testutil::Outcome o = testutil::Finish(controller_, logs_.path());
    EXPECT_EQ(o.exitCode, 0) << o.err;
    ClientArea::TearDown();
  }
  testutil::TempDir logs_;
  pid_t controller_ = 0;
};

TEST_F(WithController, BothProgramsGetListings) {
  Outcome jobs = Run("prwatch", {"-nwait", "0", "-ntries", "500"});
  EXPECT_EQ(jobs.exitCode, 0) << jobs.err;
  EXPECT_NE(jobs.out, "");
  EXPECT_EQ(jobs.err, "");
  Outcome queues = Run("prbay", {});
  EXPECT_EQ(queues.exitCode, 0) << queues.err;
  EXPECT_NE(queues.out, "");
  Outcome bad = Run("prwatch", {"-nw", "0", "-nt", "500", "-Z"});
  EXPECT_NE(bad.exitCode, 0);
  EXPECT_NE(bad.out, "");
  EXPECT_EQ(bad.err, "");
}

}  // namespace
