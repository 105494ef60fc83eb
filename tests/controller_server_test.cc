// The controller as a running process on a real directory: replies in
// place, links, requests still being copied or damaged, polling, state
// changes, reply expiry and stopping, and its inputs changing under it (the
// directory swapped, SIGHUP, a state file rewritten while it is read, a huge
// job name); and as it runs at a site, among other users of its request
// directory who take over reply names, plant junk, flood it or fill its disk.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "e2e_util.h"
#include "posix_util.h"

namespace {

using namespace testutil;

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
bool Gone(const std::string& path) { return WaitFor([&] { return !Exists(path); }); }

// A request directory of the test's own, and a place beside it for a state
// file and for what the controller must neither touch nor reach.
class ControllerServer : public testing::Test {
 protected:
  bool Serve(const std::string& state, bool poll = false, std::vector<std::string> more = {}) {
    more.insert(more.end(), {"--dir", dir_.path(), "--state", state});
    if (poll) more.insert(more.end(), {"--poll", "--poll-interval", "0.02"});
    return controller_.emplace(std::move(more)).WaitReady();
  }
  // For a test's next run: what the last one left could pass for its answers.
  void Renew() { std::filesystem::remove_all(dir_.path()); mkdir(dir_.path().c_str(), 0755); }
  TempDir dir_, aside_;
  const std::string state_ = aside_ / "state";
  std::optional<Controller> controller_;
};

// A reply is put under its own name whole, never created there where it
// could be read half-written; it is mode 0644 whatever the controller's
// umask, and never written over: another user who can read a shared request
// directory asks under a reply name whose reply waits to be fetched, and is
// refused.
TEST_F(ControllerServer, RepliesAreMadeInPlaceReadableByAllAndCannotBeTakenOver) {
  const prclient::Fd events(::inotify_init1(IN_NONBLOCK));
  ASSERT_GE(::inotify_add_watch(events.get(), dir_.path().c_str(), IN_CREATE), 0);
  const mode_t old = ::umask(077);
  const bool ready = Serve(SAMPLE_STATE);
  ::umask(old);
  ASSERT_TRUE(ready) << controller_->err();
  EXPECT_EQ(Ask(dir_.path(), "sprAb12Cd", "r0002", "prwatch", {"-p", "lp1"}), "0\nJobs matching queue \"lp1\": 5");
  EXPECT_EQ(Mode(dir_ / "r0002"), S_IFREG | 0644u);
  char events_seen[4096];  // a few events, read at once; no other name holds "r0002"
  const ssize_t n = ::read(events.get(), events_seen, sizeof events_seen);
  EXPECT_TRUE(n > 0 && std::string_view(events_seen, n).find("r0002") == std::string::npos) << "made under its name";
  WriteFile(dir_ / "sprEvil01", ClientImage("sprEvil01", "r0002", "prwatch", {"-j", "evil"}));
  EXPECT_TRUE(controller_->WaitLogged("refused sprEvil01")) << controller_->err();
  EXPECT_EQ(Head(dir_ / "r0002"), "0\nJobs matching queue \"lp1\": 5") << "written over";
  EXPECT_EQ(controller_->Finish(SIGINT).exitCode, 0);
}

// Another user of the directory plants links to make the controller write
// or read where it should not: one under a reply name is left alone, one
// under a request name removed; neither is followed.
TEST_F(ControllerServer, LinksPlantedUnderReplyOrRequestNamesAreNeverFollowed) {
  WriteFile(aside_ / "victim", "untouched");
  const std::string image = ClientImage("sprLink01", "linked", "prwatch", {});
  WriteFile(aside_ / "image", image);
  ASSERT_EQ(::symlink((aside_ / "victim").c_str(), (dir_ / "r0001").c_str()), 0);
  ASSERT_TRUE(Serve(SAMPLE_STATE)) << controller_->err();
  ASSERT_EQ(::symlink((aside_ / "image").c_str(), (dir_ / "sprLink01").c_str()), 0);
  ASSERT_TRUE(Gone(dir_ / "sprLink01"));
  Sleep(20);
  EXPECT_EQ(ReadFile(aside_ / "victim"), "untouched");
  EXPECT_EQ(ReadFile(aside_ / "image"), image);
  EXPECT_THAT(ListDir(dir_.path()), testing::UnorderedElementsAre("r0001"));
}

// Files under the temporary names a controller might be expected to use do
// not stop its replies; the ones an earlier run left are cleared.
TEST_F(ControllerServer, TemporaryFilesLeftOrPlantedDoNotBlockReplies) {
  WriteFile(dir_ / ".prcontroller.left", "");
  ASSERT_TRUE(Serve(SAMPLE_STATE)) << controller_->err();
  EXPECT_FALSE(Exists(dir_ / ".prcontroller.left"));
  for (int n = 0; n < 1000; ++n)
    WriteFile(dir_ / (".prcontroller." + std::to_string(controller_->pid()) + "." + std::to_string(n)), "");
  for (const std::string n : {"1", "2", "3"})
    EXPECT_EQ(Ask(dir_.path(), "sprPlant" + n, "planted" + n, "prbay", {}), "0\nAll queues: 4");
}

// With inotify and by polling alike: a request still being copied is not
// acted upon, and once whole it is answered once, from the state file as it
// now is; what stays short or damaged is given up after the grace time.
// Replies expire, but not a file a client has since put under the name.
TEST_F(ControllerServer, RequestsAreAnsweredOnceWholeOrGivenUpAndRepliesExpire) {
  for (const bool poll : {false, true}) {
    SCOPED_TRACE(poll ? "polling" : "inotify");
    Renew();
    WriteFile(state_, "queue q1 ready\n");
    ASSERT_TRUE(Serve(state_, poll, {"--grace", "0.6", "--reply-age", "0.4"}));
    EXPECT_EQ(Ask(dir_.path(), "sprState1", "before", "prwatch", {}), "1\nNo jobs");
    WriteFile(dir_ / "mine", "a client's own file");
    ASSERT_EQ(std::rename((dir_ / "mine").c_str(), (dir_ / "before").c_str()), 0);

    const std::string image = ClientImage("sprGrow01", "grown", "prwatch", {});
    WriteFile(dir_ / "sprGrow01", image.substr(0, 60));
    WriteFile(dir_ / "sprShort1", ClientImage("sprShort1", "short", "prwatch", {}).substr(0, 40));
    WriteFile(dir_ / "sprTiny01", image.substr(0, 10));  // its reply name is not there yet
    Sleep(200);
    EXPECT_THAT(ListDir(dir_.path()), testing::UnorderedElementsAre("before", "sprGrow01", "sprShort1", "sprTiny01"))
        << "acted upon before whole or before the grace time";
    WriteFile(state_, "queue q1 ready\njob 7 q1 zoe queued 1 1 -1m \"new job\"\n");
    EXPECT_EQ(Ask(dir_.path(), "sprGrow01", "grown", "prwatch", {}), "0\nAll jobs: 1");
    ASSERT_TRUE(WaitFor([&] { return Exists(dir_ / "short"); }));
    EXPECT_EQ(ReadFile(dir_ / "short"),
              "4\nprcontroller: malformed request: the request is 40 bytes long, not 132\n");
    EXPECT_TRUE(Gone(dir_ / "sprTiny01") && Gone(dir_ / "grown") && Gone(dir_ / "short"));
    EXPECT_THAT(ListDir(dir_.path()), testing::UnorderedElementsAre("before"));
    const std::string log = controller_->err(), answered = "answered sprGrow01";
    EXPECT_TRUE(log.find(answered) != std::string::npos && log.find(answered) == log.rfind(answered)) << log;
  }
}

// Answers written into a directory the clients no longer see are lost: when
// it is removed or replaced, the controller says so and exits at once, with
// inotify and by polling, for its service manager to restart it.
TEST_F(ControllerServer, ARemovedOrReplacedDirectoryEndsTheController) {
  for (const int run : {0, 1, 2, 3}) {
    const bool poll = run & 1, replace = run & 2;
    SCOPED_TRACE(std::string(poll ? "polling" : "inotify") + (replace ? ", replaced" : ", removed"));
    Renew();
    ASSERT_TRUE(Serve(SAMPLE_STATE, poll));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(replace ? rename(dir_.path().c_str(), (aside_ / "old").c_str()) : rmdir(dir_.path().c_str()), 0);
    ASSERT_EQ(replace ? mkdir(dir_.path().c_str(), 0755) : 0, 0);
    ASSERT_TRUE(controller_->WaitLogged("exiting")) << controller_->err();
    EXPECT_EQ(controller_->Finish().exitCode, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));  // not at the next full look
  }
}

// A change that keeps the file's size and times cannot be seen by looking at
// them: SIGHUP makes the controller read the file again, and does not end it.
TEST_F(ControllerServer, HangupRereadsAStateFileWhoseSizeAndTimesAreUnchanged) {
  WriteFile(state_, "queue q1 ready\njob 1 q1 ann queued 1 1 -1m \"one\"\n");
  struct stat st {};
  ASSERT_EQ(stat(state_.c_str(), &st), 0);
  ASSERT_TRUE(Serve(state_));
  EXPECT_EQ(Ask(dir_.path(), "sprHup001", "hup1", "prwatch", {"-i", "2"}), "1\nNo jobs matching id \"2\"");
  WriteFile(state_, "queue q1 ready\njob 2 q1 ann queued 1 1 -1m \"one\"\n");
  ASSERT_EQ(utimensat(AT_FDCWD, state_.c_str(), std::array{st.st_atim, st.st_mtim}.data(), 0), 0);
  EXPECT_EQ(Ask(dir_.path(), "sprHup002", "hup2", "prwatch", {"-i", "2"}), "1\nNo jobs matching id \"2\"");
  kill(controller_->pid(), SIGHUP);
  ASSERT_TRUE(controller_->WaitLogged("SIGHUP"));
  EXPECT_EQ(Ask(dir_.path(), "sprHup003", "hup3", "prwatch", {"-i", "2"}), "0\nJobs matching id \"2\": 1");
}

// The operator rewrites the state file in place, in two writes, while
// requests arrive: every answer comes from a whole file.
TEST_F(ControllerServer, AStateFileRewrittenInPlaceIsNeverAnsweredTorn) {
  WriteFile(state_, "queue q1 ready\njob 2 q1 ann queued 1 1 -1m \"one\"\n");
  ASSERT_TRUE(Serve(state_));
  const std::string full = ReadFile(SAMPLE_STATE);
  const std::size_t half = full.find('\n', full.size() / 2) - 3;  // within a line
  std::atomic<bool> done{false};
  std::thread writer([&] {  // truncates, writes half, pauses, writes the rest
    for (bool ok = true; ok && !done; Sleep(20)) {
      const prclient::Fd fd(open(state_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
      ok = write(fd.get(), full.data(), half) >= 0 &&
           (Sleep(5), write(fd.get(), full.data() + half, full.size() - half) >= 0);
    }
  });
  for (int n = 10; n < 25; ++n) {  // from the last whole file read, or from the new one
    const std::string id = std::to_string(n), head = Ask(dir_.path(), "sprTorn" + id, "torn" + id, "prwatch", {});
    EXPECT_TRUE(head == "0\nAll jobs: 1" || head == "0\nAll jobs: 12") << head;
  }
  done = true;
  writer.join();
}

// One job name of a megabyte among thousands of jobs: each listing stays
// quick (padding every row to that name's width took minutes), and a stop
// is not held up by a queue of such listings: it comes before them.
TEST_F(ControllerServer, AHugeJobNameIsListedQuicklyAndDoesNotHoldUpAStop) {
  std::string huge = "queue q1 ready\n";
  for (int n = 0; n < 5000; ++n) huge += "job " + std::to_string(n) + " q1 ann queued 1 1 -1m \"j\"\n";
  WriteFile(state_, huge + "job big q1 ann queued 1 1 -1m \"" + std::string(1 << 20, 'x') + "\"\n");
  ASSERT_TRUE(Serve(state_));
  EXPECT_EQ(Ask(dir_.path(), "sprWarm01", "warm", "prbay", {}), "0\nAll queues: 1");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Ask(dir_.path(), "sprHuge01", "huge", "prwatch", {}), "0\nAll jobs: 5001");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  kill(controller_->pid(), SIGSTOP);  // the queue and the stop wait for it together
  for (int n = 10; n < 40; ++n)
    WriteFile(dir_ / ("sprHuge" + std::to_string(n)),
              ClientImage("sprHuge" + std::to_string(n), "h" + std::to_string(n), "prwatch", {}));
  kill(controller_->pid(), SIGTERM);
  kill(controller_->pid(), SIGCONT);
  EXPECT_EQ(controller_->Finish().exitCode, 0);
  EXPECT_GT(Area::Requests(dir_.path()).size(), 25u) << "the queue answered before the stop";
}

// A site: the controller runs as its own user (daemon here) on a request
// directory of 16 MiB, mode 1733, written by other users (nobody here).
// Each test starts the controller itself: some plant what it must find
// already there when it starts.
class ControllerHostile : public testing::Test {
 protected:
  void SetUp() override {
    std::string why = "needs a user \"daemon\"";
    if (const passwd* found = getpwnam("daemon")) owner_ = *found;  // a copy: Nobody() reuses its storage
    if (!(nobody_ = Nobody(&why)) || !owner_.pw_name) GTEST_SKIP() << why;
    if (!Isolate()) GTEST_SKIP() << "no private namespaces: " << std::strerror(errno);
    const std::string options = "size=16m,mode=1733,uid=" + std::to_string(owner_.pw_uid);
    ASSERT_EQ(mount("tmpfs", dir_.c_str(), "tmpfs", 0, options.c_str()), 0) << std::strerror(errno);
    chmod(area_.spool().c_str(), 01777);
    area_.WriteConf(HostName(), dir_ + "/");
  }
  void TearDown() override { umount2(dir_.c_str(), MNT_DETACH); }  // else the area stays behind
  bool Serve() {
    controller_.emplace(As(&owner_, {CONTROLLER_BIN, {"--dir", dir_, "--state", SAMPLE_STATE, "--reply-quota", "1"},
                                     "", {}, ""}));
    return controller_->WaitReady();
  }
  Launch Prwatch(const char* mask) const {
    return {"/bin/sh", {"-c", std::string("umask ") + mask + "; exec \"$0\" \"$@\"",
                        E2E_BIN "/prwatch", "-nwait", "1", "-ntries", "20"}, area_.path(), {}, {}};
  }
  Area area_;
  const std::string dir_ = area_.requests();
  passwd owner_{};
  const passwd* nobody_ = nullptr;
  std::optional<Controller> controller_;
};

// What other users leave under request names and cannot be answered (a
// FIFO, a file the controller may not read, a file with a second name) is
// removed, what it cannot remove (a full directory) is skipped; neither
// stops it. Clients under umask 077 and 027 are answered.
TEST_F(ControllerHostile, JunkIsClearedAndClientsUnderAnyUmaskAreAnswered) {
  const auto as_nobody = [&](const std::string& p) { return lchown(p.c_str(), nobody_->pw_uid, nobody_->pw_gid); };
  ASSERT_EQ(mkdir((dir_ + "/sprFull01").c_str(), 0755), 0);
  WriteFile(dir_ + "/sprFull01/x", "");
  ASSERT_EQ(mkfifo((dir_ + "/sprFifo01").c_str(), 0600) | as_nobody(dir_ + "/sprFifo01"), 0);
  WriteFile(dir_ + "/sprSecret", ClientImage("sprSecret", "secret", "prwatch", {}));
  ASSERT_EQ(chmod((dir_ + "/sprSecret").c_str(), 0600) | as_nobody(dir_ + "/sprSecret"), 0);
  ASSERT_TRUE(Serve()) << controller_->err();
  ASSERT_EQ(link((dir_ + "/sprFull01/x").c_str(), (dir_ + "/sprLinked").c_str()), 0);
  ASSERT_TRUE(Gone(dir_ + "/sprLinked")) << controller_->err();
  EXPECT_THAT(ListDir(dir_), testing::UnorderedElementsAre("sprFull01")) << controller_->err();
  for (const char* mask : {"077", "027"}) {
    const Outcome o = RunProgram(As(nobody_, Prwatch(mask)));
    EXPECT_EQ(std::pair(o.out.substr(0, 13), o.exitCode), std::pair(std::string("All jobs: 12\n"), 0)) << mask << o.err;
  }
}

// One user's flood is refused once its replies reach its bound, while
// another user is answered throughout.
TEST_F(ControllerHostile, AFloodIsRefusedAtItsBoundWhileOthersAreAnswered) {
  ASSERT_TRUE(Serve()) << controller_->err();
  TempDir images;  // a request a few milliseconds, each with its own reply name
  for (int n = 10000; n < 10400; ++n)
    WriteFile(images / ("sprF" + std::to_string(n)),
              ClientImage("sprF" + std::to_string(n), "flood" + std::to_string(n), "prwatch", {}));
  chmod(images.path().c_str(), 0755);
  Running flood(As(nobody_, {"/bin/sh", {"-c", "for f in *; do cp $f \"$0\"; done", dir_}, images.path(), {}, {}}));
  for (int n = 0; n < 3; ++n) EXPECT_EQ(RunProgram(Prwatch("022")).exitCode, 0) << n;
  EXPECT_EQ(flood.FinishWithin(Millis(60000)).exitCode, 0);
  EXPECT_TRUE(WaitFor([&] { return Area::Requests(dir_).empty(); })) << controller_->err();
  EXPECT_THAT(controller_->err(), testing::HasSubstr("the bound per user is 1 MiB"));
}

// With the disk full a request waits, rather than being lost, and is
// answered once there is room again.
TEST_F(ControllerHostile, WithTheDiskFullARequestIsKeptAndAnsweredOnceThereIsRoom) {
  ASSERT_TRUE(Serve()) << controller_->err();
  kill(controller_->pid(), SIGSTOP);  // the disk is full before it sees the request
  WriteFile(dir_ + "/sprRoom01", ClientImage("sprRoom01", "room", "prwatch", {}));
  RunProgram({"/bin/sh", {"-c", "cat /dev/zero >\"$0\"", dir_ + "/filler"}, "", {}, ""});  // until the disk is full
  kill(controller_->pid(), SIGCONT);
  EXPECT_TRUE(controller_->WaitLogged("keeping the request"));
  EXPECT_TRUE(Exists(dir_ + "/sprRoom01"));
  unlink((dir_ + "/filler").c_str());
  EXPECT_TRUE(WaitFor([&] { return Exists(dir_ + "/room"); })) << controller_->err();
  EXPECT_EQ(controller_->Finish(SIGTERM).exitCode, 0);
}

}  // namespace
