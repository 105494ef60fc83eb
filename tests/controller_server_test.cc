// The controller as a running process on a real directory: replies in
// place, links, requests still being copied or damaged, polling, state
// changes, reply expiry and stopping.
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

using ctltest::Ask;
using ctltest::ClientImage;
using ctltest::Controller;
using ctltest::WaitFor;
using testing::UnorderedElementsAre;
using testutil::Exists;
using testutil::ListDir;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
bool Gone(const std::string& path) { return WaitFor([&] { return !Exists(path); }); }

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
  Controller controller({"--dir", dir.path(), "--state", SAMPLE_STATE});
  ASSERT_TRUE(controller.WaitReady()) << controller.Log();
  ASSERT_EQ(::symlink((outside / "image").c_str(), (dir / "sprLink01").c_str()), 0);
  EXPECT_EQ(Ask(dir.path(), "sprAb12Cd", "r0002", "prwatch", {"-p", "lp1"}),
            "0\nJobs matching queue \"lp1\": 5");
  struct stat st {};
  ASSERT_TRUE(::lstat((dir / "r0002").c_str(), &st) == 0 && S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0644u) << "the controller runs with umask 077";
  ASSERT_TRUE(Gone(dir / "sprLink01"));
  Sleep(20);
  EXPECT_EQ(ReadFile(outside / "victim"), "untouched");
  EXPECT_EQ(ReadFile(outside / "image"), image);
  EXPECT_THAT(ListDir(dir.path()), UnorderedElementsAre("r0001", "r0002"));
  EXPECT_EQ(controller.Stop(SIGTERM), 0);
  alignas(inotify_event) char buf[4096];  // a few events, read at once
  const ssize_t n = ::read(events, buf, sizeof buf);
  for (ssize_t at = 0; at < n;) {
    const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
    EXPECT_STRNE(e->name, "r0002") << "the reply was created in place";
    at += static_cast<ssize_t>(sizeof *e + e->len);
  }
  ::close(events);
}

// With inotify and by polling alike: a request still being copied is not
// acted upon, and once whole it is answered once, from the state file as it
// now is; what stays short or damaged is given up after the grace time.
// Replies expire, but not a file a client has since put under the name.
TEST(ControllerServer, RequestsAreAnsweredWhenWholeOrGivenUpAndRepliesExpire) {
  for (const bool poll : {false, true}) {
    SCOPED_TRACE(poll ? "polling" : "inotify");
    TempDir dir, state_dir;
    const std::string state = state_dir / "state";
    WriteFile(state, "queue q1 ready\n");
    std::vector<std::string> args{"--dir", dir.path(), "--state", state, "--grace", "0.6",
                                  "--reply-age", "0.4"};
    if (poll) args.insert(args.end(), {"--poll", "--poll-interval", "0.02"});
    Controller controller(args);
    ASSERT_TRUE(controller.WaitReady());
    EXPECT_EQ(Ask(dir.path(), "sprState1", "before", "prwatch", {}), "1\nNo jobs");
    WriteFile(dir / "mine", "a client's own file");
    ASSERT_EQ(std::rename((dir / "mine").c_str(), (dir / "before").c_str()), 0);

    const std::string image = ClientImage("sprGrow01", "grown", "prwatch", {});
    WriteFile(dir / "sprGrow01", image.substr(0, 60));
    WriteFile(dir / "sprShort1", ClientImage("sprShort1", "short", "prwatch", {}).substr(0, 40));
    WriteFile(dir / "sprTiny01", image.substr(0, 10));  // its reply name is not there yet
    Sleep(200);
    EXPECT_THAT(ListDir(dir.path()),
                UnorderedElementsAre("before", "sprGrow01", "sprShort1", "sprTiny01"))
        << "acted upon before whole or before the grace time";
    WriteFile(state, "queue q1 ready\njob 7 q1 zoe queued 1 1 -1m \"new job\"\n");
    EXPECT_EQ(Ask(dir.path(), "sprGrow01", "grown", "prwatch", {}), "0\nAll jobs: 1");
    ASSERT_TRUE(WaitFor([&] { return Exists(dir / "short"); }));
    EXPECT_EQ(ReadFile(dir / "short"),
              "4\nprcontroller: malformed request: the request is 40 bytes long, not 132\n");
    EXPECT_TRUE(Gone(dir / "sprTiny01") && Gone(dir / "grown") && Gone(dir / "short"));
    EXPECT_THAT(ListDir(dir.path()), UnorderedElementsAre("before"));
    const std::string log = controller.Log();
    const std::size_t answered = log.find("answered sprGrow01");
    EXPECT_TRUE(answered != std::string::npos && answered == log.rfind("answered sprGrow01")) << log;
    EXPECT_EQ(controller.Stop(poll ? SIGINT : SIGTERM), 0);
  }
}

}  // namespace
