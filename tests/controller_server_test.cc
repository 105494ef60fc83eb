// The controller as a running process on a real directory: replies in
// place, links, requests still being copied or damaged, polling, state
// changes, reply expiry and stopping; and against other users of its request
// directory and its inputs changing under it: a reply name taken over,
// predicted temporary names, a huge job name, the directory swapped, SIGHUP,
// and a state file rewritten while it is read.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "controller_test_util.h"
#include "posix_util.h"

namespace {

using testutil::Ask;
using testutil::ClientImage;
using testutil::Controller;
using testutil::WaitFor;
using testing::HasSubstr;
using testing::UnorderedElementsAre;
using testutil::Exists;
using testutil::ListDir;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;
using Clock = std::chrono::steady_clock;

const std::string kSample = SAMPLE_STATE;

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
bool Gone(const std::string& path) { return WaitFor([&] { return !Exists(path); }); }

// A reply is made under its own name, mode 0644 whatever the controller's
// umask, and is never written over: another user who can read a shared
// request directory asks under a reply name whose reply waits to be
// fetched, and is refused. A link planted under a reply name is left alone,
// one under a request name removed; neither is followed. Files under the
// temporary names a controller might be expected to use do not stop
// its replies; the ones an earlier run left are cleared.
TEST(ControllerServer, RepliesInPlaceFollowNoLinkAndCannotBeTakenOverOrBlocked) {
  TempDir dir, outside;
  WriteFile(dir / ".prcontroller.left", "");
  WriteFile(outside / "victim", "untouched");
  const std::string image = ClientImage("sprLink01", "linked", "prwatch", {});
  WriteFile(outside / "image", image);
  ASSERT_EQ(::symlink((outside / "victim").c_str(), (dir / "r0001").c_str()), 0);
  // A reply created under its own name could be read half-written.
  const prclient::Fd events(::inotify_init1(IN_NONBLOCK));
  ASSERT_GE(::inotify_add_watch(events.get(), dir.path().c_str(), IN_CREATE), 0);
  const mode_t old = ::umask(077);
  Controller controller({"--dir", dir.path(), "--state", kSample});
  ::umask(old);
  ASSERT_TRUE(controller.WaitReady()) << controller.err();
  EXPECT_FALSE(Exists(dir / ".prcontroller.left"));
  ASSERT_EQ(::symlink((outside / "image").c_str(), (dir / "sprLink01").c_str()), 0);
  const std::string first = Ask(dir.path(), "sprAb12Cd", "r0002", "prwatch", {"-p", "lp1"});
  EXPECT_EQ(first, "0\nJobs matching queue \"lp1\": 5");
  EXPECT_EQ(testutil::Mode(dir / "r0002"), S_IFREG | 0644u);
  char events_seen[4096];  // a few events, read at once; no other name holds "r0002"
  const ssize_t n = ::read(events.get(), events_seen, sizeof events_seen);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string_view(events_seen, n).find("r0002"), std::string_view::npos) << "made under its name";
  WriteFile(dir / "sprEvil01", ClientImage("sprEvil01", "r0002", "prwatch", {"-j", "evil"}));
  EXPECT_TRUE(controller.WaitLogged("refused sprEvil01")) << controller.err();
  EXPECT_EQ(testutil::Head(dir / "r0002"), first);
  ASSERT_TRUE(Gone(dir / "sprLink01"));
  Sleep(20);
  EXPECT_EQ(ReadFile(outside / "victim"), "untouched");
  EXPECT_EQ(ReadFile(outside / "image"), image);
  EXPECT_THAT(ListDir(dir.path()), UnorderedElementsAre("r0001", "r0002"));
  for (int n = 0; n < 1000; ++n)
    WriteFile(dir / (".prcontroller." + std::to_string(controller.pid()) + "." + std::to_string(n)), "");
  for (const std::string n : {"1", "2", "3"})
    EXPECT_EQ(Ask(dir.path(), "sprPlant" + n, "planted" + n, "prbay", {}), "0\nAll queues: 4");
  EXPECT_EQ(controller.Finish(SIGINT).exitCode, 0);
}

// With inotify and by polling alike: a request still being copied is not
// acted upon, and once whole it is answered once, from the state file as it
// now is; what stays short or damaged is given up after the grace time.
// Replies expire, but not a file a client has since put under the name.
// Answers written into a directory the clients no longer see are lost: when
// it is removed or replaced, the controller says so and exits for its
// service manager to restart it.
TEST(ControllerServer, RequestsAreAnsweredWhenWholeOrGivenUpRepliesExpireAndTheDirectoryIsKept) {
  for (const int run : {0, 1, 2, 3}) {
    const bool poll = run & 1, replace = run & 2;
    SCOPED_TRACE(std::string(poll ? "polling" : "inotify") + (replace ? ", replaced" : ", removed"));
    TempDir dir, state_dir;
    const std::string state = state_dir / "state";
    WriteFile(state, "queue q1 ready\n");
    std::vector<std::string> args{"--dir", dir.path(), "--state", state, "--grace", "0.6", "--reply-age", "0.4"};
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
    EXPECT_THAT(ListDir(dir.path()), UnorderedElementsAre("before", "sprGrow01", "sprShort1", "sprTiny01"))
        << "acted upon before whole or before the grace time";
    WriteFile(state, "queue q1 ready\njob 7 q1 zoe queued 1 1 -1m \"new job\"\n");
    EXPECT_EQ(Ask(dir.path(), "sprGrow01", "grown", "prwatch", {}), "0\nAll jobs: 1");
    ASSERT_TRUE(WaitFor([&] { return Exists(dir / "short"); }));
    EXPECT_EQ(ReadFile(dir / "short"),
              "4\nprcontroller: malformed request: the request is 40 bytes long, not 132\n");
    EXPECT_TRUE(Gone(dir / "sprTiny01") && Gone(dir / "grown") && Gone(dir / "short"));
    EXPECT_THAT(ListDir(dir.path()), UnorderedElementsAre("before"));
    const std::string log = controller.err();
    const std::size_t answered = log.find("answered sprGrow01");
    EXPECT_TRUE(answered != std::string::npos && answered == log.rfind("answered sprGrow01")) << log;

    ASSERT_EQ(std::remove((dir / "before").c_str()), 0);
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(replace ? rename(dir.path().c_str(), (state_dir / "old").c_str()) : rmdir(dir.path().c_str()), 0);
    ASSERT_EQ(replace ? mkdir(dir.path().c_str(), 0755) : 0, 0);
    ASSERT_TRUE(controller.WaitLogged("exiting")) << controller.err();
    EXPECT_EQ(controller.Finish().exitCode, 1);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  }
}

// A change that keeps the file's size and times is seen after SIGHUP,
// which does not end the controller. The operator then rewrites the file
// in place, in two writes, while requests arrive: every answer comes from a
// whole file. Then one job name of a megabyte among thousands of jobs: each
// listing stays quick (padding every row to that name's width took
// minutes), and a stop is not held up by a queue of such listings.
TEST(ControllerHostile, HangupRereadsTornStateIsNeverAnsweredAndAHugeNameIsQuick) {
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

  const std::string full = ReadFile(kSample);
  const std::size_t half = full.find('\n', full.size() / 2) - 3;  // within a line
  std::atomic<bool> done{false};
  std::thread writer([&] {  // truncates, writes half, pauses, writes the rest
    for (bool ok = true; ok && !done; Sleep(20)) {
      const prclient::Fd fd(open(state.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
      ok = write(fd.get(), full.data(), half) >= 0 &&
           (Sleep(5), write(fd.get(), full.data() + half, full.size() - half) >= 0);
    }
  });
  for (int n = 10; n < 25; ++n) {  // from the last whole file read, or from the new one
    const std::string id = std::to_string(n);
    const std::string head = Ask(dir.path(), "sprTorn" + id, "torn" + id, "prwatch", {});
    EXPECT_TRUE(head == "0\nAll jobs: 1" || head == "0\nAll jobs: 12") << head;
  }
  done = true;
  writer.join();

  std::string huge = "queue q1 ready\n";
  for (int n = 0; n < 5000; ++n) huge += "job " + std::to_string(n) + " q1 ann queued 1 1 -1m \"j\"\n";
  WriteFile(state + ".new", huge + "job big q1 ann queued 1 1 -1m \"" + std::string(1 << 20, 'x') + "\"\n");
  ASSERT_EQ(std::rename((state + ".new").c_str(), state.c_str()), 0);  // whole at once
  EXPECT_EQ(Ask(dir.path(), "sprWarm01", "warm", "prbay", {}), "0\nAll queues: 1");
  Clock::time_point start = Clock::now();
  EXPECT_EQ(Ask(dir.path(), "sprHuge01", "huge", "prwatch", {}), "0\nAll jobs: 5001");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  for (int n = 10; n < 40; ++n)
    WriteFile(dir / ("sprHuge" + std::to_string(n)),
              ClientImage("sprHuge" + std::to_string(n), "h" + std::to_string(n), "prwatch", {}));
  start = Clock::now();
  EXPECT_EQ(controller.Finish(SIGTERM).exitCode, 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
}

// A site: the controller runs as its own user (daemon here) on a request
// directory of 16 MiB, mode 1733. What other users leave there under
// request names and cannot be answered (a FIFO, a file the controller may
// not read, a file with a second name) is removed, what it cannot remove
// (a full directory) is skipped. Clients under umask 077 and 027 are
// answered. One user's flood is refused once its replies reach its bound,
// while another user is answered throughout; with the disk full, a request
// waits and is answered once there is room again.
TEST(ControllerHostile, AnyUmaskIsAnsweredJunkIsClearedAndFloodsAndFullDisksLoseNothing) {
  const passwd* found = getpwnam("daemon");
  const passwd owner = found ? *found : passwd{};  // getpwnam's storage is reused
  std::string why = "needs a user \"daemon\"";
  const passwd* nobody = testutil::Nobody(&why);
  if (!nobody || !found) GTEST_SKIP() << why;
  if (!testutil::Isolate()) GTEST_SKIP() << "no private namespaces: " << std::strerror(errno);
  testutil::Area area;
  const std::string dir = area.requests();
  const std::string options = "size=16m,mode=1733,uid=" + std::to_string(owner.pw_uid);
  ASSERT_EQ(mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()), 0) << std::strerror(errno);
  chmod(area.spool().c_str(), 01777);
  area.WriteConf(testutil::HostName(), dir + "/");
  const auto as_nobody = [&](const std::string& path) { return lchown(path.c_str(), nobody->pw_uid, nobody->pw_gid); };
  ASSERT_EQ(mkdir((dir + "/sprFull01").c_str(), 0755), 0);
  WriteFile(dir + "/sprFull01/x", "");
  ASSERT_EQ(mkfifo((dir + "/sprFifo01").c_str(), 0600) | as_nobody(dir + "/sprFifo01"), 0);
  WriteFile(dir + "/sprSecret", ClientImage("sprSecret", "secret", "prwatch", {}));
  ASSERT_EQ(chmod((dir + "/sprSecret").c_str(), 0600) | as_nobody(dir + "/sprSecret"), 0);
  testutil::Running controller(testutil::As(&owner, {CONTROLLER_BIN, {"--dir", dir, "--state", kSample,
                                                 "--reply-quota", "1"}, "", {}, ""}));
  ASSERT_TRUE(WaitFor([&] { return controller.err().find("serving") != std::string::npos; }));
  ASSERT_EQ(link((dir + "/sprFull01/x").c_str(), (dir + "/sprLinked").c_str()), 0);
  ASSERT_TRUE(Gone(dir + "/sprLinked")) << controller.err();
  EXPECT_THAT(ListDir(dir), UnorderedElementsAre("sprFull01")) << controller.err();

  const auto prwatch = [&](const char* mask) {
    return testutil::Launch{"/bin/sh", {"-c", std::string("umask ") + mask + "; exec \"$0\" \"$@\"",
                                        E2E_BIN "/prwatch", "-nwait", "1", "-ntries", "20"}, area.path(), {}, {}};
  };
  for (const char* mask : {"077", "027"}) {
    const testutil::Outcome o = testutil::Run(testutil::As(nobody, prwatch(mask)));
    EXPECT_EQ(std::pair(o.out.substr(0, 13), o.exitCode), std::pair(std::string("All jobs: 12\n"), 0)) << mask << o.err;
  }

  TempDir images;  // nobody's flood: a request a few milliseconds, each with its own reply name
  for (int n = 0; n < 400; ++n) {
    const std::string name = "sprF" + std::to_string(10000 + n);
    WriteFile(images / name, ClientImage(name, "flood" + std::to_string(n), "prwatch", {}));
  }
  chmod(images.path().c_str(), 0755);
  testutil::Running flood(testutil::As(nobody, {"/bin/sh", {"-c", "for f in *; do cp $f \"$0\"; done", dir},
                                            images.path(), {}, {}}));
  for (int n = 0; n < 3; ++n) EXPECT_EQ(testutil::Run(prwatch("022")).exitCode, 0) << n;
  EXPECT_EQ(flood.FinishWithin(testutil::Millis(60000)).exitCode, 0);
  EXPECT_TRUE(WaitFor([&] { return testutil::Area::Requests(dir).size() == 1; })) << controller.err();
  EXPECT_THAT(controller.err(), HasSubstr("the bound per user is 1 MiB"));

  kill(controller.pid(), SIGSTOP);
  WriteFile(dir + "/sprRoom01", ClientImage("sprRoom01", "room", "prwatch", {}));
  {
    const prclient::Fd filler(open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    const std::string block(1 << 16, 'x');
    while (write(filler.get(), block.data(), block.size()) > 0) {}
  }
  kill(controller.pid(), SIGCONT);
  EXPECT_TRUE(WaitFor([&] { return controller.err().find("keeping the request") != std::string::npos; }));
  EXPECT_TRUE(Exists(dir + "/sprRoom01"));
  unlink((dir + "/filler").c_str());
  EXPECT_TRUE(WaitFor([&] { return Exists(dir + "/room"); })) << controller.err();
  EXPECT_EQ(controller.Finish(SIGTERM).exitCode, 0);
}

}  // namespace
