// Another local user against root's prwatch, through the directories every
// user may write: the attacks fail, the client ends within its copy limit
// (5 s in the test build) and leaves nothing behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "fault_util.h"

namespace {

using faults::Millis;
using Clock = std::chrono::steady_clock;

using Hostile = faults::AreaTest;

// Nobody else can learn the request's name before it is delivered: a link
// planted under it in the request directory would have the copy write
// wherever it points.
TEST_F(Hostile, RequestNameHiddenUntilDelivered) {
  const std::optional<faults::User> nobody = faults::Nobody();
  if (!nobody) GTEST_SKIP() << "needs root and a user \"nobody\"";
  faults::Running client(
      area_.StubbedClient("prwatch", {"-server", "ctlhost", "-nwait", "0"}, {"FAULT=hang"}));
  ASSERT_TRUE(faults::WaitFor([&] { return testutil::Exists(area_ / "stub-pids"); }, Millis(5000)));
  // Root sees the request in the send; the other user does not.
  for (bool asRoot : {true, false}) {
    const testutil::Launch find{"/usr/bin/find", {area_.spool()}, "", {}, {}};
    const testutil::Outcome seen = testutil::Run(asRoot ? find : faults::As(*nobody, find));
    EXPECT_EQ(seen.out.find("/spr") != std::string::npos, asRoot) << seen.out;
  }
  EXPECT_EQ(client.Finish(SIGTERM).exitCode, -SIGTERM);
}

// Whatever stands under the reply name at the controller, the fetch ends:
// a FIFO nobody writes after the copy limit, an endless source at the
// largest reply. Neither is taken for an answer.
TEST_F(Hostile, EndlessFetchesEndAndKeepNothing) {
  const struct {
    const char* what;
    std::function<bool(const std::string&)> plant;
  } cases[] = {
      {"fifo", [](const std::string& at) { return mkfifo(at.c_str(), 0644) == 0; }},
      {"/dev/zero", [](const std::string& at) { return symlink("/dev/zero", at.c_str()) == 0; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testutil::TestController ctl(area_.requests(),
                                 [&](const testutil::SeenRequest& req, std::string*) {
                                   EXPECT_TRUE(c.plant(area_.requests() + "/" + req.reply));
                                   return false;
                                 });
    const auto t0 = Clock::now();
    const testutil::Outcome o =
        faults::Running(area_.StubbedClient("prwatch", {"-nwait", "0", "-ntries", "1"}, {}))
            .FinishWithin(Millis(20000));
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(8));
    EXPECT_EQ(o.err, "Server not responding\n");
    EXPECT_EQ(o.exitCode, 255);
    EXPECT_TRUE(faults::ReapAll(Millis(1000))) << "the copy left running";
    for (const std::string& name : testutil::ListDir(area_.requests()))
      unlink((area_.requests() + "/" + name).c_str());
  }
}

// Clients in pid namespaces of their own all have pid 1. Each reads its
// configuration from a FIFO of its own: written to all at once, it
// releases them within the same millisecond, and each still gets its own
// answer.
TEST_F(Hostile, ClientsSharingAPidKeepTheirAnswers) {
  constexpr int kClients = 40;
  if (geteuid() != 0 || access("/usr/bin/unshare", X_OK) != 0)
    GTEST_SKIP() << "needs root and unshare (util-linux) for pid namespaces";
  testutil::TestController ctl(area_.requests(),
                               [](const testutil::SeenRequest& req, std::string* out) {
                                 *out = "0\n" + req.line + "\n";
                                 return true;
                               });
  std::vector<std::unique_ptr<faults::Running>> clients;
  std::vector<int> confs;
  for (int i = 0; i < kClients; ++i) {
    const std::string dir = area_ / std::to_string(i);
    std::filesystem::create_directory(dir);
    ASSERT_EQ(symlink(area_.spool().c_str(), (dir + "/spool").c_str()), 0);
    ASSERT_EQ(mkfifo((dir + "/cconf").c_str(), 0600), 0);
    testutil::Launch l =
        area_.StubbedClient("prwatch", {"-nwait", "1", "-jc" + std::to_string(i)}, {});
    l.args.insert(l.args.begin(), {"-pf", "--mount-proc", l.program});
    l.program = "/usr/bin/unshare";
    l.cwd = dir;
    clients.push_back(std::make_unique<faults::Running>(l));
    confs.push_back(open((dir + "/cconf").c_str(), O_WRONLY));  // once the client reads it
  }
  const std::string conf = testutil::HostName() + "\n/print/\n" + area_.requests() + "/\n";
  for (int fd : confs)
    EXPECT_EQ(write(fd, conf.data(), conf.size()), static_cast<ssize_t>(conf.size()));
  for (int fd : confs) close(fd);
  for (int i = 0; i < kClients; ++i) {
    const testutil::Outcome o = clients[i]->Finish();
    EXPECT_EQ(o.out, "prwatch \"-jc" + std::to_string(i) + "\"\n") << o.err;
    EXPECT_EQ(o.exitCode, 0);
  }
}

}  // namespace
