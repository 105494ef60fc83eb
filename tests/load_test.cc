// Many clients at once against one stand-in controller, all sharing one
// scratch directory as the users of a workstation do: each must get the
// answer to its own request, none may be lost or crossed, and nothing may
// be left behind. PRCLIENT_LOAD_CLIENTS sets how many (20 by default).
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "fault_util.h"

namespace {

int Clients() {
  const char* n = std::getenv("PRCLIENT_LOAD_CLIENTS");
  return n && std::atoi(n) > 0 ? std::atoi(n) : 20;
}

TEST(Load, EveryClientGetsTheAnswerToItsOwnRequest) {
  const int n = Clients();
  faults::Area area;
  area.WriteConf(testutil::HostName(), area.requests() + "/");
  testutil::TempDir controllerOut;
  faults::Running controller(testutil::Start(
      {CONTROLLER_BIN, {"--dir", area.requests(), "--state", SAMPLE_STATE, "--quiet"}, "", {}, {}},
      controllerOut.path()));

  // Half poll without pause, half once a second: both ways of waiting
  // compete for the controller. The job name tells the requests apart, and
  // the controller restates it in its answer.
  struct Client {
    std::unique_ptr<testutil::TempDir> out = std::make_unique<testutil::TempDir>();
    std::unique_ptr<faults::Running> process;
  };
  std::vector<Client> clients(static_cast<std::size_t>(n));
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < n; ++i) {
    std::vector<std::string> args{"-j", "job" + std::to_string(i)};
    if (i % 2 == 0) args.insert(args.end(), {"-nwait", "0", "-ntries", "1000000"});
    else args.insert(args.end(), {"-nwait", "1", "-ntries", "300"});
    Client& c = clients[static_cast<std::size_t>(i)];
    c.process = std::make_unique<faults::Running>(
        testutil::Start(area.Client("prwatch", std::move(args), {}), c.out->path()));
  }
  int answered = 0;
  for (int i = 0; i < n; ++i) {
    Client& c = clients[static_cast<std::size_t>(i)];
    testutil::Outcome o = c.process->Finish(c.out->path());
    const std::string expected = "No jobs matching name \"job" + std::to_string(i) + "\"\n";
    EXPECT_EQ(o.out, expected) << "client " << i;
    EXPECT_EQ(o.err, "") << "client " << i;
    EXPECT_EQ(o.exitCode, 1) << "client " << i;  // nothing matched
    answered += o.out == expected && o.exitCode == 1;
  }
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - t0);
  std::cout << answered << " of " << n << " clients answered in " << elapsed.count() << " ms\n";

  EXPECT_EQ(testutil::ListDir(area.spool()), std::vector<std::string>{})
      << "left in the scratch directory";
  EXPECT_EQ(faults::Area::Requests(area.requests()), std::vector<std::string>{})
      << "requests left unanswered";
  kill(controller.pid(), SIGTERM);
  testutil::Outcome stopped = controller.Finish(controllerOut.path());
  EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
}

}  // namespace
