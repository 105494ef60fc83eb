#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>


#include "prclient.h"
#include "test_util.h"

namespace {

using testutil::SeenRequest;
using testutil::TempDir;

// A remote call against a controller of the test's own, with the scratch
// directory checked empty afterwards on every path.
class TrpcTest : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = {prclient::Tmpqdir, prclient::netwait, prclient::ntrys};
    scratchPath_ = scratch_.slash();
    prclient::Tmpqdir = scratchPath_.c_str();
    prclient::netwait = 0;
    prclient::ntrys = 50;
  }
  void TearDown() override {
    EXPECT_EQ(testutil::ListDir(scratch_.path()), std::vector<std::string>{});
    prclient::Tmpqdir = saved_.tmp;
    prclient::netwait = saved_.wait;
    prclient::ntrys = saved_.trys;
  }

  struct Result {
    int code;
    int status;
    std::string out;
  };
  Result Call(const std::string& host, const std::string& dir,
              std::vector<const char*> args = {}, const char* request = "prwatch") {
    Result r{-100, -100, {}};
    r.out = testutil::CaptureStdout([&] {
      r.code = prclient::TRPC(host.c_str(), dir.c_str(), request,
                              static_cast<int>(args.size()), args.data(), &r.status);
    });
    return r;
  }

  // A controller that answers every request with `reply` and records it.
  testutil::TestController::Answer Reply(std::string reply) {
    return [this, reply](const SeenRequest& req, std::string* out) {
      seen_.push_back(req);
      *out = reply;
      return true;
    };
  }

  TempDir scratch_, ctl_;
  std::string scratchPath_;
  std::vector<SeenRequest> seen_;
  struct {
    const char* tmp;
    int wait, trys;
  } saved_{};
};

TEST_F(TrpcTest, ThisHostRoundTrip) {
  testutil::TestController ctl(ctl_.path(), Reply("0\nline one\nline two\n"));
  Result r = Call(testutil::HostName(), ctl_.slash(), {"-p", "q 1", "-l"});
  EXPECT_EQ(r.code, prclient::kTrpcOk);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "line one\nline two\n");
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_EQ(seen_[0].request, "prwatch");
  EXPECT_EQ(seen_[0].count, "4");
  EXPECT_EQ(seen_[0].line, "prwatch \"-p\" \"q 1\" \"-l\"");
  EXPECT_EQ(seen_[0].control.substr(0, 3), "spr");
  EXPECT_LE(seen_[0].reply.size(), 13u);
}

TEST_F(TrpcTest, ArgumentCountLimits) {
  testutil::TestController ctl(ctl_.path(), Reply("3\n"));
  Result none = Call(testutil::HostName(), ctl_.slash(), {}, "prbay");
  EXPECT_EQ(none.status, 3);
  EXPECT_EQ(none.out, "");
  std::vector<const char*> fifteen(15, "a");
  fifteen[13] = "14th";
  fifteen[14] = "15th";
  Call(testutil::HostName(), ctl_.slash(), fifteen);
  ASSERT_EQ(seen_.size(), 2u);
  EXPECT_EQ(seen_[0].count, "1");
  EXPECT_EQ(seen_[0].line, "prbay");
  EXPECT_EQ(seen_[1].count, "15");
  std::string line = "prwatch";
  for (int i = 0; i < 13; ++i) line += " \"a\"";
  line += " \"14th\"";
  EXPECT_EQ(seen_[1].line, line.substr(0, 79));
}

TEST_F(TrpcTest, RepliesRelayedExactly) {
  std::string binary("0\n", 2);
  for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
  binary += std::string(1000, 'L') + "\r\nno final newline";
  const std::string longFirst = "5" + std::string(300, 'x') + "\nrest\n";
  const struct {
    std::string reply;
    int code, status;
    std::string out;
  } cases[] = {
      {"", prclient::kTrpcSystemError, -100, ""},
      {"7\n", prclient::kTrpcOk, 7, ""},
      {"  -12 apples\nx", prclient::kTrpcOk, -12, "x"},
      {"busy\ntext\n", prclient::kTrpcOk, 0, "text\n"},
      {"99999999999\n", prclient::kTrpcOk, 2147483647, ""},
      {"-99999999999\n", prclient::kTrpcOk, -2147483647 - 1, ""},
      {"2\r\n", prclient::kTrpcOk, 2, ""},
      {binary, prclient::kTrpcOk, 0, binary.substr(2)},
      // The status line buffer holds 255 bytes; the rest is text.
      {longFirst, prclient::kTrpcOk, 5, longFirst.substr(255)},
  };
  for (const auto& c : cases) {
    testutil::TestController ctl(ctl_.path(), Reply(c.reply));
    Result r = Call(testutil::HostName(), ctl_.slash(), {"-l"});
    EXPECT_EQ(r.code, c.code) << c.reply.substr(0, 20);
    EXPECT_EQ(r.status, c.status) << c.reply.substr(0, 20);
    EXPECT_EQ(r.out, c.out) << c.reply.substr(0, 20);
  }
}

TEST_F(TrpcTest, PollLimits) {
  // Nobody answers: ntrys polls, then "no reply"; none or a negative count.
  prclient::ntrys = 3;
  EXPECT_EQ(Call(testutil::HostName(), ctl_.slash()).code, prclient::kTrpcNoReply);
  prclient::ntrys = 0;
  EXPECT_EQ(Call(testutil::HostName(), ctl_.slash()).code, prclient::kTrpcNoReply);
  prclient::ntrys = -1;
  EXPECT_EQ(Call(testutil::HostName(), ctl_.slash()).code, prclient::kTrpcSystemError);
  // The requests stay on the controller: the client removes nothing there.
  EXPECT_EQ(testutil::ListDir(ctl_.path()).size(), 3u);
}

TEST_F(TrpcTest, ScratchTooLongForTheReplySendsNothing) {
  // Room for the request's path (133 characters at most), none for the reply's.
  TempDir deep;
  std::string dir = deep.path() + "/";
  dir += std::string(111 - dir.size(), 'd');
  mkdir(dir.c_str(), 0700);
  dir += "/";
  prclient::Tmpqdir = dir.c_str();
  EXPECT_EQ(Call(testutil::HostName(), ctl_.slash()).code, prclient::kTrpcSystemError);
  prclient::Tmpqdir = scratchPath_.c_str();
  EXPECT_EQ(testutil::ListDir(ctl_.path()), std::vector<std::string>{});
  EXPECT_EQ(testutil::ListDir(dir), std::vector<std::string>{});
}

// Through another host: a stand-in rcp first on PATH maps host:path onto a
// directory per host.
class TrpcRemoteTest : public TrpcTest {
 protected:
  TrpcRemoteTest()
      : path_("PATH", testutil::StubBinDir() + ":" + getenv("PATH")),
        root_("RCP_ROOT", hosts_.path()) {
    mkdir((hosts_ / "ctlhost").c_str(), 0755);
    mkdir((hosts_ / "ctlhost/q").c_str(), 0755);
  }
  std::vector<std::string> Log() {
    std::vector<std::string> lines;
    std::string all = testutil::ReadFile(hosts_ / "log");
    for (std::size_t at = 0, nl; (nl = all.find('\n', at)) != std::string::npos; at = nl + 1)
      lines.push_back(all.substr(at, nl - at));
    return lines;
  }
  TempDir hosts_;
  testutil::ScopedEnv path_, root_;
};

TEST_F(TrpcRemoteTest, RoundTripThroughRcp) {
  testutil::TestController ctl(hosts_ / "ctlhost/q", Reply("1\nfrom afar\n"));
  Result r = Call("ctlhost", "/q/", {"-s", "held"});
  EXPECT_EQ(r.code, prclient::kTrpcOk);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "from afar\n");
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_EQ(seen_[0].line, "prwatch \"-s\" \"held\"");
  std::vector<std::string> log = Log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_NE(log[0].find(" ctlhost:/q/spr"), std::string::npos) << log[0];
  EXPECT_NE(log.back().find("rcp ctlhost:/q/" + seen_[0].reply + " "), std::string::npos);
}

}  // namespace
