// Many clients at once against one stand-in controller, all sharing one
// scratch directory as the users of a workstation do: each must get the
// answer to its own request, none may be lost or crossed, and nothing may
// be left behind. PRCLIENT_LOAD_CLIENTS sets how many (20 by default).
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <list>
#include <tuple>

#include "fault_util.h"

namespace {

TEST(Load, EveryClientGetsTheAnswerToItsOwnRequest) {
  const char* size = std::getenv("PRCLIENT_LOAD_CLIENTS");
  const int n = size && std::atoi(size) > 0 ? std::atoi(size) : 20;
  faults::Area area;
  area.WriteConf(testutil::HostName(), area.requests() + "/");
  faults::Running controller(
      {CONTROLLER_BIN, {"--dir", area.requests(), "--state", SAMPLE_STATE, "--quiet"}, "", {}, {}});

  // Half poll without pause, half once a second: both ways of waiting
  // compete for the controller. The job name tells the requests apart, and
  // the controller restates it in its answer.
  std::list<faults::Running> clients;
  using Clock = std::chrono::steady_clock;
  const auto t0 = Clock::now();
  for (int i = 0; i < n; ++i)
    clients.emplace_back(area.Client("prwatch", {"-j", "job" + std::to_string(i), "-nwait", i % 2 ? "1" : "0",
                                                 "-ntries", i % 2 ? "300" : "1000000"}, {}));
  int i = 0;
  for (faults::Running& client : clients) {  // nothing matched, each its own name
    const testutil::Outcome o = client.Finish();
    EXPECT_EQ(o, (testutil::Outcome{"No jobs matching name \"job" + std::to_string(i++) + "\"\n", "", 1}));
  }
  std::cout << n << " clients answered in "
            << std::chrono::duration<double, std::milli>(Clock::now() - t0).count() << " ms\n";

  EXPECT_EQ(testutil::ListDir(area.spool()), std::vector<std::string>{})
      << "left in the scratch directory";
  EXPECT_EQ(faults::Area::Requests(area.requests()), std::vector<std::string>{})
      << "requests left unanswered";
  EXPECT_EQ(controller.Finish(SIGTERM).exitCode, 0);
}

}  // namespace
