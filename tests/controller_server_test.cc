// The controller as a running process on a real directory: replies in
// place, requests still being copied, damaged files, links, bursts of
// requests, --once, polling, reply expiry and stopping.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
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
using ctltest::Controller;
using ctltest::Head;
using ctltest::WaitFor;
using testing::UnorderedElementsAre;
using testutil::Exists;
using testutil::ListDir;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

const std::string kSample = SAMPLE_STATE;

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
bool Gone(const std::string& path) { return WaitFor([&] { return !Exists(path); }); }
bool Appears(const std::string& path) { return WaitFor([&] { return Exists(path); }); }

// A link planted under a reply name is left alone, one under a request name
// removed; neither is followed.
TEST(ControllerServer, AnswersInPlaceWithMode0644AndFollowsNoLink) {
  TempDir dir, outside;
  WriteFile(outside / "victim", "untouched");
  const std::string image = ClientImage("sprLink01", "linked", "prwatch", {});
  WriteFile(outside / "image", image);
  ASSERT_EQ(::symlink((outside / "victim").c_str(), (dir / "r0001").c_str()), 0);

  // A reply created under its own name could be read half-written.
  const int events = ::inotify_init1(IN_NONBLOCK);
  ASSERT_GE(::inotify_add_watch(events, dir.path().c_str(), IN_CREATE), 0);
  Controller controller({"--dir", dir.path(), "--state", kSample});
  ASSERT_TRUE(controller.WaitReady()) << controller.Log();
  WriteFile(dir / "sprAb12Cd", ClientImage("sprAb12Cd", "r0002", "prwatch", {"-p", "lp1"}));
  ASSERT_EQ(::symlink((outside / "image").c_str(), (dir / "sprLink01").c_str()), 0);
  struct stat st {};
  ASSERT_TRUE(WaitFor(
      [&] { return ::lstat((dir / "r0002").c_str(), &st) == 0 && S_ISREG(st.st_mode); }));
  ASSERT_TRUE(Gone(dir / "sprLink01"));
  Sleep(20);
  EXPECT_EQ(st.st_mode & 07777, 0644u) << "the controller runs with umask 077";
  EXPECT_EQ(Head(dir / "r0002"), "0\nJobs matching queue \"lp1\": 5");
  EXPECT_EQ(ReadFile(outside / "victim"), "untouched");
  EXPECT_EQ(ReadFile(outside / "image"), image);
  EXPECT_THAT(ListDir(dir.path()), UnorderedElementsAre("r0001", "r0002"));
  EXPECT_EQ(controller.Stop(SIGTERM), 0);
  alignas(inotify_event) char buf[4096];  // a few events, read at once
  const ssize_t n = ::read(events, buf, sizeof buf);
  for (ssize_t at = 0; at < n;) {
    const auto* event = reinterpret_cast<const inotify_event*>(buf + at);
    EXPECT_STRNE(event->name, "r0002") << "the reply was created in place";
    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
  }
  ::close(events);
}

// A request still being copied is not acted upon; once whole it is answered
// once. What stays short or damaged is given up after the grace time.
TEST(ControllerServer, RequestsAreAnsweredWhenWholeOrGivenUpAfterTheGraceTime) {
  TempDir dir;
  Controller controller({"--dir", dir.path(), "--state", kSample, "--grace", "0.6"});
  ASSERT_TRUE(controller.WaitReady());
  const std::string image = ClientImage("sprGrow01", "grown", "prbay", {"-l"});
  WriteFile(dir / "sprGrow01", image.substr(0, 60));
  WriteFile(dir / "sprShort1", ClientImage("sprShort1", "short", "prwatch", {}).substr(0, 40));
  WriteFile(dir / "sprTiny01", image.substr(0, 10));  // its reply name is not there yet
  Sleep(200);
  EXPECT_THAT(ListDir(dir.path()), UnorderedElementsAre("sprGrow01", "sprShort1", "sprTiny01"))
      << "acted upon before whole or before the grace time";
  WriteFile(dir / "sprGrow01", image);  // the rest of the copy
  ASSERT_TRUE(Appears(dir / "grown"));
  ASSERT_TRUE(Appears(dir / "short") && Gone(dir / "sprTiny01"));
  Sleep(100);
  EXPECT_EQ(Head(dir / "grown"), "0\nAll queues: 4");
  EXPECT_EQ(ReadFile(dir / "short"),
            "4\nprcontroller: malformed request: the request is 40 bytes long, not 132\n");
  const std::string log = controller.Log();
  const std::size_t answered = log.find("answered sprGrow01");
  EXPECT_TRUE(answered != std::string::npos && answered == log.rfind("answered sprGrow01")) << log;
  EXPECT_THAT(ListDir(dir.path()), UnorderedElementsAre("grown", "short"));
}

// Without inotify: requests, whole or not, are found by polling.
TEST(ControllerServer, PollingSeesRequestsAndStateChangesAndRepliesExpire) {
  TempDir dir, state_dir;
  const std::string state = state_dir / "state";
  WriteFile(state, "queue q1 ready\n");
  Controller controller({"--dir", dir.path(), "--state", state, "--reply-age", "0.3",
                         "--grace", "0.5", "--poll", "--poll-interval", "0.02"});
  ASSERT_TRUE(controller.WaitReady());

  const std::string image = ClientImage("sprState1", "before", "prwatch", {});
  WriteFile(dir / "sprState1", image.substr(0, 100));
  Sleep(80);
  EXPECT_FALSE(Exists(dir / "before"));
  WriteFile(dir / "sprState1", image);
  ASSERT_TRUE(Appears(dir / "before"));
  EXPECT_EQ(Head(dir / "before"), "1\nNo jobs");
  // A client that reuses the name owns the new file: it must not expire.
  WriteFile(dir / "mine", "a client's own file");
  ASSERT_EQ(std::rename((dir / "mine").c_str(), (dir / "before").c_str()), 0);

  WriteFile(state, "queue q1 ready\njob 7 q1 zoe queued 1 1 -1m \"new job\"\n");
  WriteFile(dir / "sprState2", ClientImage("sprState2", "after", "prwatch", {}));
  ASSERT_TRUE(Appears(dir / "after"));
  EXPECT_EQ(Head(dir / "after"), "0\nAll jobs: 1");

  ASSERT_TRUE(Gone(dir / "after"));
  EXPECT_THAT(ListDir(dir.path()), UnorderedElementsAre("before"));
  EXPECT_EQ(controller.Stop(SIGINT), 0);
}

}  // namespace
