// The controller against a stand-in scheduler that breaks HTTP's framing on
// purpose, on the connection the controller keeps between requests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "e2e_util.h"

namespace {

using namespace testutil;

using testing::HasSubstr;
using testing::Not;
using testing::StartsWith;
using Clock = std::chrono::steady_clock;

const char kPython[] = "/usr/bin/python3";

// A response that claims more than it sends, one that never ends, one
// trailed by the start of another, and none at all: each is told within the
// limits (the one on the whole exchange as short as the idle one, so that
// the endless answer ends in time however slowly this build parses it),
// costs bounded memory, and leaves nothing on the connection that the next
// request would take for its answer.
TEST(CupsStandin, ABrokenResponseIsToldFastAndLeavesNothingForTheNextRequest) {
  if (access(kPython, X_OK) != 0) GTEST_SKIP() << kPython << " missing: the stand-in scheduler needs it";
  TempDir dir, scratch;
  WriteFile(scratch / "mode", "normal");
  Running standin({kPython, {STANDIN_SCHEDULER, scratch / "mode"}, "", {}, scratch / "port"});
  std::string port;  // its first line
  ASSERT_TRUE(WaitFor([&] {
    port = ReadFile(scratch / "port");
    return port.find('\n') != port.npos;
  })) << standin.err();
  port.pop_back();
  Controller controller({"--dir", dir.path(), "--cups", "127.0.0.1:" + port, "--cups-idle", "1.5",
                         "--cups-limit", "1.5"});
  ASSERT_TRUE(controller.WaitReady()) << controller.err();
  int asked = 0;
  auto ask = [&](const std::string& mode) {
    WriteFile(scratch / "mode", mode);
    const std::string n = std::to_string(++asked), reply = "reply" + n;
    const std::string head = Ask(dir.path(), "sprStand" + n, reply, "prwatch", {});
    EXPECT_THAT(ReadFile(dir / reply), Not(HasSubstr("smuggled"))) << mode;
    return head;
  };
  EXPECT_EQ(ask("normal"), "0\nAll jobs: 4");  // the connection the broken answers then come on
  for (const std::string mode : {"long-length", "endless", "extra", "silent"}) {
    const Clock::time_point start = Clock::now();
    EXPECT_THAT(ask(mode), StartsWith("5\nprwatch: spool state unavailable: CUPS scheduler at 127.0.0.1:" +
                                      port + ": ")) << mode;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_LT(ms, 3500) << mode;  // the limits, and room for a machine at a load of 4 a core
    std::this_thread::sleep_for(std::chrono::seconds(1));  // a failure is told again at once for a second
    EXPECT_EQ(ask("normal"), "0\nAll jobs: 4") << "after " << mode;
  }
  EXPECT_EQ(controller.Finish(SIGTERM).exitCode, 0);
  rusage children{};  // the most memory any child waited for held: here, the controller
  getrusage(RUSAGE_CHILDREN, &children);
  EXPECT_LT(children.ru_maxrss, 256 << 10) << "KiB at most";
}

}  // namespace
