// The controller against other users of its request directory and against
// its inputs changing under it: a reply name taken over, predicted
// temporary names, a huge job name, the directory swapped, SIGHUP, and a
// state file rewritten while it is read.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "controller_test_util.h"

namespace {

using ctltest::Ask;
using ctltest::ClientImage;
using ctltest::Controller;
using testutil::TempDir;
using testutil::WriteFile;
using Clock = std::chrono::steady_clock;

const std::string kSample = SAMPLE_STATE;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Another user, who can read a shared request directory, asks its own
// question under a reply name whose reply waits to be fetched: the first
// reply stays, the second request is refused. Files under the temporary
// names a controller could once be expected to use do not stop its
// replies; the ones an earlier run left are cleared.
TEST(ControllerHostile, RepliesCannotBeTakenOverOrBlockedByPlantedTemporaries) {
  TempDir dir;
  WriteFile(dir / ".prcontroller.left", "");
  Controller controller({"--dir", dir.path(), "--state", kSample});
  ASSERT_TRUE(controller.WaitReady());
  EXPECT_FALSE(testutil::Exists(dir / ".prcontroller.left"));
  const std::string first = Ask(dir.path(), "sprMine01", "taken", "prwatch", {"-p", "lp1"});
  EXPECT_EQ(first, "0\nJobs matching queue \"lp1\": 5");
  WriteFile(dir / "sprEvil01", ClientImage("sprEvil01", "taken", "prwatch", {"-j", "evil"}));
  EXPECT_TRUE(controller.WaitLogged("refused sprEvil01")) << controller.Log();
  EXPECT_EQ(ctltest::Head(dir / "taken"), first);
  EXPECT_EQ(testutil::ListDir(dir.path()), std::vector<std::string>{"taken"});
  for (int n = 0; n < 1000; ++n)
    WriteFile(dir / (".prcontroller." + std::to_string(controller.pid()) + "." + std::to_string(n)), "");
  for (const std::string n : {"1", "2", "3"})
    EXPECT_EQ(Ask(dir.path(), "sprPlant" + n, "planted" + n, "prbay", {}), "0\nAll queues: 4");
}

// One job name of a megabyte among thousands of jobs: each listing stays
// quick (padding every row to that name's width took minutes), and a stop
// is not held up by a queue of such listings.
TEST(ControllerHostile, HugeJobNameIsListedQuicklyAndDoesNotHoldUpAStop) {
  TempDir dir, state_dir;
  std::string state = "queue q1 ready\n";
  for (int n = 0; n < 5000; ++n) state += "job " + std::to_string(n) + " q1 ann queued 1 1 -1m \"j\"\n";
  WriteFile(state_dir / "state", state + "job big q1 ann queued 1 1 -1m \"" + std::string(1 << 20, 'x') + "\"\n");
  Controller controller({"--dir", dir.path(), "--state", state_dir / "state", "--quiet"});
  ASSERT_TRUE(controller.WaitReady());
  EXPECT_EQ(Ask(dir.path(), "sprWarm01", "warm", "prbay", {}), "0\nAll queues: 1");
  Clock::time_point start = Clock::now();
  EXPECT_EQ(Ask(dir.path(), "sprHuge01", "huge", "prwatch", {}), "0\nAll jobs: 5001");
  EXPECT_LT(SecondsSince(start), 1.0);
  for (int n = 10; n < 40; ++n)
    WriteFile(dir / ("sprHuge" + std::to_string(n)),
              ClientImage("sprHuge" + std::to_string(n), "h" + std::to_string(n), "prwatch", {}));
  start = Clock::now();
  EXPECT_EQ(controller.Stop(SIGTERM), 0);
  EXPECT_LT(SecondsSince(start), 1.0);
}

// Answers written into a directory the clients no longer see are lost:
// the controller says so and exits for its service manager to restart it.
TEST(ControllerHostile, RequestDirectoryRemovedOrReplacedEndsTheController) {
  for (const bool poll : {false, true}) {
    for (const bool replace : {false, true}) {
      SCOPED_TRACE(std::string(poll ? "polling" : "inotify") + (replace ? ", replaced" : ", removed"));
      TempDir parent;
      const std::string dir = parent / "requests";
      ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
      std::vector<std::string> args{"--dir", dir, "--state", kSample};
      if (poll) args.emplace_back("--poll");
      Controller controller(args);
      ASSERT_TRUE(controller.WaitReady());
      const Clock::time_point start = Clock::now();
      if (replace) {
        ASSERT_EQ(rename(dir.c_str(), (parent / "old").c_str()), 0);
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
      } else {
        ASSERT_EQ(rmdir(dir.c_str()), 0);
      }
      ASSERT_TRUE(controller.WaitLogged("exiting")) << controller.Log();
      EXPECT_EQ(controller.Wait(), 1);
      EXPECT_LT(SecondsSince(start), 1.0);
    }
  }
}

// A change that keeps the file's size and times is seen after SIGHUP,
// which no longer ends the controller. The operator then rewrites the file
// in place, in two writes, while requests arrive: every answer comes from a
// whole file.
TEST(ControllerHostile, HangupRereadsAndATornStateFileIsNeverAnswered) {
  TempDir dir, state_dir;
  const std::string state = state_dir / "state";
  WriteFile(state, "queue q1 ready\njob 1 q1 ann queued 1 1 -1m \"one\"\n");
  struct stat st {};
  ASSERT_EQ(stat(state.c_str(), &st), 0);
  Controller controller({"--dir", dir.path(), "--state", state});
  ASSERT_TRUE(controller.WaitReady());
  EXPECT_EQ(Ask(dir.path(), "sprHup001", "hup1", "prwatch", {"-i", "2"}), "1\nNo jobs matching id \"2\"");
  WriteFile(state, "queue q1 ready\njob 2 q1 ann queued 1 1 -1m \"one\"\n");
  const timespec times[2] = {st.st_atim, st.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, state.c_str(), times, 0), 0);
  EXPECT_EQ(Ask(dir.path(), "sprHup002", "hup2", "prwatch", {"-i", "2"}), "1\nNo jobs matching id \"2\"");
  kill(controller.pid(), SIGHUP);
  ASSERT_TRUE(controller.WaitLogged("SIGHUP"));
  EXPECT_EQ(Ask(dir.path(), "sprHup003", "hup3", "prwatch", {"-i", "2"}), "0\nJobs matching id \"2\": 1");

  const std::string full = testutil::ReadFile(kSample);
  const std::size_t half = full.find('\n', full.size() / 2) - 3;  // within a line
  std::atomic<bool> done{false};
  std::thread writer([&] {  // truncates, writes half, pauses, writes the rest
    while (!done) {
      const int fd = open(state.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
      const bool ok = write(fd, full.data(), half) >= 0 &&
                      (std::this_thread::sleep_for(std::chrono::milliseconds(5)),
                       write(fd, full.data() + half, full.size() - half) >= 0);
      close(fd);
      if (!ok) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  for (int n = 10; n < 25; ++n) {  // from the last whole file read, or from the new one
    const std::string head = Ask(dir.path(), "sprTorn" + std::to_string(n), "torn" + std::to_string(n), "prwatch", {});
    EXPECT_TRUE(head == "0\nAll jobs: 1" || head == "0\nAll jobs: 12") << head;
  }
  done = true;
  writer.join();
  EXPECT_EQ(controller.Stop(SIGTERM), 0);
}

}  // namespace
