// The controller as a running process on a real directory: replies in
// place, requests still being copied, damaged files, links, bursts of
// requests, --once, polling, reply expiry and stopping.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "controller_test_util.h"

namespace {

using ctltest::ClientImage;
using ctltest::ControllerProcess;
using ctltest::Exists;
using ctltest::ListDir;
using ctltest::ReadFile;
using ctltest::ScratchDir;
using ctltest::SplitReply;
using ctltest::WaitForFile;
using ctltest::WriteFile;
using std::chrono::milliseconds;

const std::string kSample = PRCONTROLLER_SAMPLE_STATE;

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

void Sleep(int ms) { std::this_thread::sleep_for(milliseconds(ms)); }

TEST(ControllerServer, AnswersInPlaceWithMode0644AndNothingElseLeft) {
  ScratchDir dir, outside;
  // A link planted under the reply name is replaced, not written through.
  const std::string target = outside / "victim";
  WriteFile(target, "untouched");
  ASSERT_EQ(::symlink(target.c_str(), (dir / "r0001").c_str()), 0);

  ControllerProcess controller({"--dir", dir.path(), "--state", kSample});
  ASSERT_TRUE(controller.WaitReady()) << controller.LogText();
  WriteFile(dir / "sprAb12Cd", ClientImage("sprAb12Cd", "r0001", "prwatch", {"-p", "lp1"}));
  ASSERT_TRUE(WaitForFile(dir / "r0001"));
  Sleep(20);

  struct stat st {};
  ASSERT_EQ(::lstat((dir / "r0001").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0644u) << "the controller runs with umask 077";
  const auto reply = SplitReply(ReadFile(dir / "r0001"));
  EXPECT_EQ(reply.status, 0);
  EXPECT_EQ(reply.first_line, "Jobs matching queue \"lp1\": 5");
  EXPECT_EQ(ReadFile(target), "untouched");
  EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"r0001"});
  EXPECT_EQ(controller.Stop(SIGTERM), 0);
}

TEST(ControllerServer, RequestCopiedInTwoWritesIsAnsweredOnceWhenComplete) {
  ScratchDir dir;
  ControllerProcess controller({"--dir", dir.path(), "--state", kSample, "--grace", "1"});
  ASSERT_TRUE(controller.WaitReady());
  const std::string image = ClientImage("sprGrow01", "grown", "prbay", {"-l"});
  WriteFile(dir / "sprGrow01", image.substr(0, 60));
  Sleep(150);
  EXPECT_FALSE(Exists(dir / "grown")) << "answered before the copy was complete";
  EXPECT_TRUE(Exists(dir / "sprGrow01"));
  ctltest::AppendFile(dir / "sprGrow01", image.substr(60));
  ASSERT_TRUE(WaitForFile(dir / "grown"));
  Sleep(100);
  const auto reply = SplitReply(ReadFile(dir / "grown"));
  EXPECT_EQ(reply.status, 0);
  EXPECT_EQ(reply.first_line, "All queues: 4");
  EXPECT_NE(reply.text.find("QUEUED  PRINTING"), std::string::npos);
  EXPECT_EQ(Count(controller.LogText(), "answered sprGrow01"), 1u) << controller.LogText();
  EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"grown"});
}

TEST(ControllerServer, IncompleteOrDamagedRequestsAreGivenUpAfterTheGraceTime) {
  ScratchDir dir;
  ControllerProcess controller({"--dir", dir.path(), "--state", kSample, "--grace", "0.4"});
  ASSERT_TRUE(controller.WaitReady());
  const std::string image = ClientImage("sprShort1", "short", "prwatch", {});
  std::string bad_count = ClientImage("sprCount1", "counted", "prwatch", {});
  bad_count.replace(45, 2, "99");
  WriteFile(dir / "sprShort1", image.substr(0, 40));
  WriteFile(dir / "sprTiny01", image.substr(0, 10));  // its reply name is not there yet
  WriteFile(dir / "sprCount1", bad_count);
  Sleep(150);
  EXPECT_FALSE(Exists(dir / "short")) << "gave up before the grace time";

  ASSERT_TRUE(WaitForFile(dir / "short"));
  ASSERT_TRUE(WaitForFile(dir / "counted"));
  const auto shorter = SplitReply(ReadFile(dir / "short"));
  EXPECT_EQ(shorter.status, 4);
  EXPECT_EQ(shorter.text,
            "prcontroller: malformed request: the request is 40 bytes long, not 132\n");
  const auto counted = SplitReply(ReadFile(dir / "counted"));
  EXPECT_EQ(counted.status, 4);
  EXPECT_NE(counted.text.find("word count 99 is outside 1 to 15"), std::string::npos);

  for (int i = 0; i < 200 && Exists(dir / "sprTiny01"); ++i) Sleep(10);
  EXPECT_EQ(ListDir(dir.path()), (std::vector<std::string>{"counted", "short"}));
  EXPECT_NE(controller.LogText().find("removed malformed sprTiny01 (no usable reply name): "
                                      "the request is 10 bytes long"),
            std::string::npos)
      << controller.LogText();
}

TEST(ControllerServer, LinkUnderARequestNameIsRemovedNotFollowed) {
  ScratchDir dir, outside;
  const std::string target = outside / "image";
  const std::string image = ClientImage("sprLink01", "linked", "prwatch", {});
  WriteFile(target, image);
  ControllerProcess controller({"--dir", dir.path(), "--state", kSample});
  ASSERT_TRUE(controller.WaitReady());
  ASSERT_EQ(::symlink(target.c_str(), (dir / "sprLink01").c_str()), 0);
  for (int i = 0; i < 200 && Exists(dir / "sprLink01"); ++i) Sleep(10);
  EXPECT_TRUE(ListDir(dir.path()).empty());
  EXPECT_EQ(ReadFile(target), image);
  EXPECT_NE(controller.LogText().find("sprLink01: a symbolic link"), std::string::npos);
}

TEST(ControllerServer, ManyRequestsAtOnceEachGetTheirOwnReply) {
  ScratchDir dir, staging;
  ControllerProcess controller({"--dir", dir.path(), "--state", kSample, "--quiet"});
  ASSERT_TRUE(controller.WaitReady());
  constexpr int kRequests = 200;
  auto control = [](int i) {
    char name[16];
    std::snprintf(name, sizeof name, "sprM%05d", i);
    return std::string(name);
  };
  for (int i = 0; i < kRequests; ++i)
    WriteFile(staging / control(i),
              ClientImage(control(i), "r" + std::to_string(i), "prwatch",
                          {"-j", "job" + std::to_string(i)}));
  // Half arrive by rename, as a copy tool that writes aside does, half by
  // writing in place, as cp does.
  for (int i = 0; i < kRequests; ++i) {
    if (i % 2 == 0)
      ASSERT_EQ(std::rename((staging / control(i)).c_str(), (dir / control(i)).c_str()), 0);
    else
      WriteFile(dir / control(i), ReadFile(staging / control(i)));
  }
  for (int i = 0; i < kRequests; ++i) {
    const std::string reply_path = dir / ("r" + std::to_string(i));
    ASSERT_TRUE(WaitForFile(reply_path)) << i;
    const auto reply = SplitReply(ReadFile(reply_path));
    EXPECT_EQ(reply.status, 1);
    EXPECT_EQ(reply.first_line, "No jobs matching name \"job" + std::to_string(i) + "\"");
  }
  Sleep(20);
  EXPECT_EQ(ListDir(dir.path()).size(), static_cast<std::size_t>(kRequests))
      << "requests or temporary files left behind";
}

TEST(ControllerServer, OnceAnswersWhatIsCompleteAndExits) {
  ScratchDir dir;
  for (int i = 1; i <= 3; ++i)
    WriteFile(dir / ("sprOnce0" + std::to_string(i)),
              ClientImage("sprOnce0" + std::to_string(i), "once" + std::to_string(i),
                          "prwatch", {"-i", "104" + std::to_string(i)}));
  WriteFile(dir / "sprOnce04", ClientImage("sprOnce04", "once4", "prbay", {}).substr(0, 50));
  ControllerProcess controller({"--dir", dir.path(), "--state", kSample, "--once"});
  EXPECT_EQ(controller.Wait(), 0);
  EXPECT_EQ(ListDir(dir.path()),
            (std::vector<std::string>{"once1", "once2", "once3", "sprOnce04"}));
  EXPECT_EQ(SplitReply(ReadFile(dir / "once2")).first_line, "Jobs matching id \"1042\": 1");
}

TEST(ControllerServer, PollingFindsRequestsWithoutInotify) {
  ScratchDir dir;
  ControllerProcess controller(
      {"--dir", dir.path(), "--state", kSample, "--poll", "--poll-interval", "0.02"});
  ASSERT_TRUE(controller.WaitReady());
  EXPECT_NE(controller.LogText().find("by polling"), std::string::npos);
  const std::string image = ClientImage("sprPoll01", "polled", "prwatch", {"-e"});
  WriteFile(dir / "sprPoll01", image.substr(0, 100));
  Sleep(80);
  EXPECT_FALSE(Exists(dir / "polled"));
  ctltest::AppendFile(dir / "sprPoll01", image.substr(100));
  ASSERT_TRUE(WaitForFile(dir / "polled", milliseconds(2000)));
  EXPECT_EQ(SplitReply(ReadFile(dir / "polled")).first_line, "Jobs matching in error: 2");
  EXPECT_EQ(controller.Stop(SIGINT), 0);
  EXPECT_NE(controller.LogText().find("stopping on SIGINT"), std::string::npos);
}

TEST(ControllerServer, RepliesExpireAndStateChangesAreSeen) {
  ScratchDir dir, state_dir;
  const std::string state = state_dir / "state";
  WriteFile(state, "queue q1 ready\n");
  ControllerProcess controller(
      {"--dir", dir.path(), "--state", state, "--reply-age", "0.3", "--grace", "0.2"});
  ASSERT_TRUE(controller.WaitReady());

  WriteFile(dir / "sprState1", ClientImage("sprState1", "before", "prwatch", {}));
  ASSERT_TRUE(WaitForFile(dir / "before"));
  EXPECT_EQ(SplitReply(ReadFile(dir / "before")).first_line, "No jobs");

  WriteFile(state, "queue q1 ready\njob 7 q1 zoe queued 1 1 -1m \"new job\"\n");
  WriteFile(dir / "sprState2", ClientImage("sprState2", "after", "prwatch", {}));
  ASSERT_TRUE(WaitForFile(dir / "after"));
  EXPECT_EQ(SplitReply(ReadFile(dir / "after")).first_line, "All jobs: 1");

  // A file someone else put under a reply name is not the controller's.
  WriteFile(dir / "foreign", "not a reply");
  for (int i = 0; i < 300 && (Exists(dir / "before") || Exists(dir / "after")); ++i) Sleep(10);
  EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"foreign"});
  EXPECT_EQ(controller.Stop(SIGTERM), 0);
}

TEST(ControllerServer, BadCommandLinesAreRefused) {
  ControllerProcess missing_dir({"--state", kSample});
  EXPECT_EQ(missing_dir.Wait(), 2);
  EXPECT_NE(missing_dir.LogText().find("--dir is required"), std::string::npos);
  ControllerProcess bad_grace({"--dir", "/tmp", "--grace", "soon"});
  EXPECT_EQ(bad_grace.Wait(), 2);
  ControllerProcess no_such_dir({"--dir", "/nonexistent/prctl"});
  EXPECT_EQ(no_such_dir.Wait(), 1);
}

}  // namespace
