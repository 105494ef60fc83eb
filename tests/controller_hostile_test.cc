// The controller against other users of its request directory and against
// its inputs changing under it: a reply name taken over, predicted
// temporary names, a huge job name, the directory swapped, SIGHUP, and a
// state file rewritten while it is read.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "controller_test_util.h"
#include "fault_util.h"

namespace {

using ctltest::ClientImage;
using ctltest::Controller;
using ctltest::Head;
using ctltest::WaitFor;
using testutil::Exists;
using testutil::TempDir;
using testutil::WriteFile;
using Clock = std::chrono::steady_clock;

const std::string kSample = SAMPLE_STATE;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Drops a request as a client's copy does and returns its reply's head.
std::string Ask(const TempDir& dir, const std::string& control, const std::string& reply,
                const std::string& request, const std::vector<std::string>& args) {
  WriteFile(dir / control, ClientImage(control, reply, request, args));
  return WaitFor([&] { return Exists(dir / reply); }) ? Head(dir / reply) : "no reply";
}

// Another user watches a shared request directory, sees root's reply
// appear and asks its own question under that reply name before root's
// client fetches it. The first reply stays; the second request is refused.
TEST(ControllerHostile, AnotherUserCannotAnswerUnderSomeoneElsesReplyName) {
  const std::optional<faults::User> nobody = faults::Nobody();
  if (!nobody) GTEST_SKIP() << "runs as root, with the user nobody, to be another user";
  faults::Area area;
  area.WriteConf(testutil::HostName(), area.requests() + "/");
  ASSERT_EQ(chmod(area.requests().c_str(), 01777), 0);
  Controller controller({"--dir", area.requests(), "--state", kSample});
  ASSERT_TRUE(controller.WaitReady());
  const pid_t attacker = fork();
  if (attacker == 0) {
    if (setgroups(0, nullptr) || setgid(nobody->gid) || setuid(nobody->uid)) _exit(2);
    alarm(10);
    const int events = inotify_init1(0);
    inotify_add_watch(events, area.requests().c_str(), IN_MOVED_TO | IN_CREATE);
    alignas(inotify_event) char buf[4096];
    for (ssize_t n, at = 0; (n = read(events, buf, sizeof buf)) > 0; at = 0) {
      for (const inotify_event* e; at < n; at += sizeof *e + e->len) {
        e = reinterpret_cast<const inotify_event*>(buf + at);
        const std::string name = e->name;
        if (name.rfind("spr", 0) == 0 || name[0] == '.') continue;
        WriteFile(area.requests() + "/sprEvil01",
                  ClientImage("sprEvil01", name, "prwatch", {"-j", "evil"}));
        _exit(0);
      }
    }
    _exit(3);
  }
  const testutil::Outcome victim =
      testutil::Run(area.Client("prwatch", {"-nwait", "1", "-p", "lp1"}, {}));
  int status = 0;
  waitpid(attacker, &status, 0);
  ASSERT_EQ(WEXITSTATUS(status), 0) << "the attacker saw no reply";
  EXPECT_EQ(victim.exitCode, 0);
  EXPECT_EQ(victim.out.substr(0, victim.out.find('\n')), "Jobs matching queue \"lp1\": 5");
  EXPECT_TRUE(WaitFor([&] { return controller.Log().find("refused sprEvil01") != std::string::npos; }))
      << controller.Log();
  EXPECT_TRUE(faults::Area::Requests(area.requests()).empty());
}

// Files under the temporary names a controller could once be expected to
// use do not stop its replies; the ones an earlier run left are cleared.
TEST(ControllerHostile, PlantedAndLeftoverTemporariesDoNotStopReplies) {
  TempDir dir;
  WriteFile(dir / ".prcontroller.left", "");
  Controller controller({"--dir", dir.path(), "--state", kSample});
  ASSERT_TRUE(controller.WaitReady());
  EXPECT_FALSE(Exists(dir / ".prcontroller.left"));
  for (int n = 0; n < 1000; ++n)
    WriteFile(dir / (".prcontroller." + std::to_string(controller.pid()) + "." +
                     std::to_string(n)), "");
  for (const std::string n : {"1", "2", "3"})
    EXPECT_EQ(Ask(dir, "sprPlant" + n, "planted" + n, "prbay", {}), "0\nAll queues: 4");
}

// One job name of a megabyte among thousands of jobs: each listing stays
// quick (padding every row to that name's width took minutes), and a stop
// is not held up by a queue of such listings.
TEST(ControllerHostile, HugeJobNameIsListedQuicklyAndDoesNotHoldUpAStop) {
  TempDir dir, state_dir;
  std::string state = "queue q1 ready\n";
  for (int n = 0; n < 5000; ++n)
    state += "job " + std::to_string(n) + " q1 ann queued 1 1 -1m \"j\"\n";
  state += "job big q1 ann queued 1 1 -1m \"" + std::string(1 << 20, 'x') + "\"\n";
  WriteFile(state_dir / "state", state);
  Controller controller({"--dir", dir.path(), "--state", state_dir / "state", "--quiet"});
  ASSERT_TRUE(controller.WaitReady());
  EXPECT_EQ(Ask(dir, "sprWarm01", "warm", "prbay", {}), "0\nAll queues: 1");
  Clock::time_point start = Clock::now();
  EXPECT_EQ(Ask(dir, "sprHuge01", "huge", "prwatch", {}), "0\nAll jobs: 5001");
  EXPECT_LT(SecondsSince(start), 1.0);
  for (int n = 10; n < 40; ++n) {
    const std::string name = "sprHuge" + std::to_string(n);
    WriteFile(dir / name, ClientImage(name, "h" + std::to_string(n), "prwatch", {}));
  }
  start = Clock::now();
  EXPECT_EQ(controller.Stop(SIGTERM), 0);
  EXPECT_LT(SecondsSince(start), 1.0);
}

// Answers written into a directory the clients no longer see are lost:
// the controller says so and exits for its service manager to restart it.
TEST(ControllerHostile, RequestDirectoryRemovedOrReplacedEndsTheController) {
  const struct {
    const char* what;
    bool poll, replace;
  } cases[] = {{"inotify, removed", false, false}, {"inotify, replaced", false, true},
               {"polling, removed", true, false}, {"polling, replaced", true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir parent;
    const std::string dir = parent / "requests";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    std::vector<std::string> args{"--dir", dir, "--state", kSample};
    if (c.poll) args.emplace_back("--poll");
    Controller controller(args);
    ASSERT_TRUE(controller.WaitReady());
    const Clock::time_point start = Clock::now();
    if (c.replace) {
      ASSERT_EQ(rename(dir.c_str(), (parent / "old").c_str()), 0);
      ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    } else {
      ASSERT_EQ(rmdir(dir.c_str()), 0);
    }
    ASSERT_TRUE(WaitFor([&] { return controller.Log().find("exiting") != std::string::npos; }))
        << controller.Log();
    EXPECT_LT(SecondsSince(start), 1.0);
    EXPECT_EQ(controller.Wait(), 1);
  }
}

// A change that keeps the file's size and times is seen after SIGHUP,
// which no longer ends the controller.
TEST(ControllerHostile, HangupRereadsTheStateFile) {
  TempDir dir, state_dir;
  const std::string state = state_dir / "state";
  WriteFile(state, "queue q1 ready\njob 1 q1 ann queued 1 1 -1m \"one\"\n");
  struct stat st {};
  ASSERT_EQ(stat(state.c_str(), &st), 0);
  Controller controller({"--dir", dir.path(), "--state", state});
  ASSERT_TRUE(controller.WaitReady());
  EXPECT_EQ(Ask(dir, "sprHup001", "hup1", "prwatch", {"-i", "2"}), "1\nNo jobs matching id \"2\"");
  WriteFile(state, "queue q1 ready\njob 2 q1 ann queued 1 1 -1m \"one\"\n");
  const timespec times[2] = {st.st_atim, st.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, state.c_str(), times, 0), 0);
  EXPECT_EQ(Ask(dir, "sprHup002", "hup2", "prwatch", {"-i", "2"}), "1\nNo jobs matching id \"2\"");
  kill(controller.pid(), SIGHUP);
  ASSERT_TRUE(WaitFor([&] { return controller.Log().find("SIGHUP") != std::string::npos; }));
  EXPECT_EQ(Ask(dir, "sprHup003", "hup3", "prwatch", {"-i", "2"}), "0\nJobs matching id \"2\": 1");
  EXPECT_EQ(controller.Stop(SIGTERM), 0);
}

// The operator rewrites the state file in place, in two writes, while
// requests arrive: every answer comes from a whole file.
TEST(ControllerHostile, StateFileRewrittenWhileReadIsNeverAnsweredHalfRead) {
  TempDir dir, state_dir;
  const std::string state = state_dir / "state";
  const std::string full = testutil::ReadFile(kSample);
  WriteFile(state, full);
  Controller controller({"--dir", dir.path(), "--state", state, "--quiet"});
  ASSERT_TRUE(controller.WaitReady());
  std::atomic<bool> done{false};
  const std::size_t half = full.find('\n', full.size() / 2) - 3;  // within a line
  std::thread writer([&] {  // truncates, writes half, pauses, writes the rest
    while (!done) {
      const int fd = open(state.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
      const ssize_t first = write(fd, full.data(), half);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      const ssize_t rest = write(fd, full.data() + half, full.size() - half);
      close(fd);
      if (first < 0 || rest < 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  for (int n = 10; n < 25; ++n)
    EXPECT_EQ(Ask(dir, "sprTorn" + std::to_string(n), "torn" + std::to_string(n), "prwatch", {}),
              "0\nAll jobs: 12");
  done = true;
  writer.join();
}

}  // namespace
