// Another local user against root's prwatch, through the directories every
// user may write: the attacks fail and leave nothing behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <list>

#include "e2e_util.h"
#include "posix_util.h"

namespace {

using namespace testutil;

using testing::HasSubstr;

using Hostile = AreaTest;

// Nobody else can learn the request's name before it is delivered: a link
// planted under it in the request directory would have the copy write
// wherever it points.
TEST_F(Hostile, RequestNameHiddenUntilDelivered) {
  std::string why;
  const passwd* nobody = Nobody(&why);
  if (!nobody) GTEST_SKIP() << why;
  Running client(area_.StubbedClient({"-server", "ctlhost", "-nwait", "0"}, {"FAULT=hang"}));
  ASSERT_TRUE(WaitFor([&] { return Exists(area_ / "stub-pids"); }));
  // Root sees the request in the send; the other user does not.
  const Launch find{"/usr/bin/find", {area_.spool()}, "", {}, {}};
  EXPECT_THAT(RunProgram(find).out, HasSubstr("/spr"));
  EXPECT_THAT(RunProgram(As(nobody, find)).out, testing::Not(HasSubstr("/spr")));
  EXPECT_EQ(client.Finish(SIGTERM).exitCode, -SIGTERM);
}

// Clients in pid namespaces of their own all have pid 1. Each reads its
// configuration from a FIFO of its own: written to all at once, it
// releases them within the same millisecond, and each still gets its own
// answer from the controller, half of them polling without a pause, half
// once a second; nothing is left unanswered.
TEST_F(Hostile, ClientsSharingAPidKeepTheirAnswers) {
  constexpr int kClients = 40;
  if (geteuid() != 0 || access("/usr/bin/unshare", X_OK) != 0)
    GTEST_SKIP() << "needs root and unshare (util-linux) for pid namespaces";
  Controller controller({"--dir", area_.requests(), "--state", SAMPLE_STATE, "--quiet"});
  std::list<Running> clients;
  std::vector<prclient::Fd> confs;
  for (int i = 0; i < kClients; ++i) {
    const std::string dir = area_ / std::to_string(i);
    std::filesystem::create_directory(dir);
    ASSERT_EQ(symlink(area_.spool().c_str(), (dir + "/spool").c_str()), 0);
    ASSERT_EQ(mkfifo((dir + "/cconf").c_str(), 0600), 0);
    Launch l = area_.StubbedClient({"-nwait", i % 2 ? "1" : "0", "-jc" + std::to_string(i),
                                    "-ntries", i % 2 ? "20" : "10000000"});
    l.args.insert(l.args.begin(), {"-pf", "--mount-proc", l.program});
    l.program = "/usr/bin/unshare";
    l.cwd = dir;
    clients.emplace_back(l);
    confs.emplace_back(open((dir + "/cconf").c_str(), O_WRONLY));  // once the client reads it
  }
  const std::string conf = HostName() + "\n/print/\n" + area_.requests() + "/\n";
  for (const prclient::Fd& fd : confs)
    EXPECT_EQ(write(fd.get(), conf.data(), conf.size()), static_cast<ssize_t>(conf.size()));
  confs.clear();
  int i = 0;
  for (Running& client : clients) {
    const std::string line = "No jobs matching name \"c" + std::to_string(i++) + "\"\n";
    EXPECT_EQ(client.Finish(), (Outcome{line, "", 1}));
  }
  EXPECT_EQ(Area::Requests(area_.requests()), std::vector<std::string>{}) << "unanswered";
  EXPECT_EQ(controller.Finish(SIGTERM).exitCode, 0);
}

}  // namespace
