// prwatch and prbay run whole against prcontroller --cups and a private CUPS
// scheduler (tools/private-cupsd): its configuration, spool, logs and
// backends live in the test's directory, it listens on 127.0.0.1, and it is
// started and stopped here by its pid. Two backends of the test's own keep
// a job printing ("hang") and make one fail ("fail").
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <optional>
#include <sstream>
#include <tuple>

#include "e2e_util.h"

namespace {

using namespace testutil;

using testing::HasSubstr;

const char kCupsd[] = "/usr/sbin/cupsd";

class Cups : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {kCupsd, "/usr/bin/lp", "/usr/bin/lpstat", "/usr/sbin/lpadmin"})
      if (access(tool, X_OK) != 0)
        GTEST_SKIP() << tool << " missing: install cups-daemon cups-client (tools/deps does)";
    if (geteuid() != 0) GTEST_SKIP() << "cupsd runs the test's backends only as root";
    // Its own loopback and /run: the standard port is free, and no other
    // scheduler on the machine shares anything with this one.
    if (!Isolate()) GTEST_SKIP() << "no private namespaces: " << std::strerror(errno);
    // The test's backends (mode 0700: run as root) beside the system's helpers.
    for (const char* sub : {"bin", "bin/backend"}) mkdir((dir_ / sub).c_str(), 0755);
    for (const auto& [name, body] : {std::pair{"hang", "exec sleep 30"}, {"fail", "exit 1"}}) {
      WriteFile(dir_ / "bin/backend/" + name, std::string("#!/bin/sh\n") + body + "\n");
      chmod((dir_ / "bin/backend/" + name).c_str(), 0700);
    }
    StartScheduler();
    area_.WriteConf(HostName(), area_.requests() + "/");
    // The scheduler the controller asks is the system's default (no
    // client.conf, no socket: localhost:631, this one), whatever the users
    // who write the request directory plant there or in its environment.
    ASSERT_EQ(mount("tmpfs", "/etc/cups", "tmpfs", 0, "mode=755"), 0) << std::strerror(errno);
    for (const std::string& home : {std::string(area_.requests()), dir_ / "home"}) {
      mkdir(home.c_str(), 0755), mkdir((home + "/.cups").c_str(), 0755);
      WriteFile(home + "/.cups/client.conf", "ServerName 127.0.0.1:1\n");
    }
    controller_.emplace(Launch{CONTROLLER_BIN, {"--dir", area_.requests(), "--cups", "--quiet"},
                               "", {"HOME=" + dir_ / "home", "CUPS_SERVER=127.0.0.1:2"}, {}});
  }

  void TearDown() override {
    EXPECT_EQ(controller_ ? controller_->Finish(SIGTERM).exitCode : 0, 0);
    if (cupsd_) cupsd_->Finish(SIGTERM);
  }

  void StartScheduler() {
    cupsd_.emplace(Launch{TOOLS_DIR "/private-cupsd", {dir_.path(), server_}, "", {}, {}});
    ASSERT_TRUE(WaitFor([this] { return Tool("/usr/bin/lpstat", {"-o"}).empty(); }, Millis(10000)))
        << cupsd_->err() << ReadFile(dir_ / "log/error_log");
  }

  // One of the scheduler's own commands run against it: what it said when
  // it failed, else nothing.
  std::string Tool(const std::string& tool, std::vector<std::string> args) {
    args.insert(args.begin(), {"-h", server_});
    const Outcome o = RunProgram({tool, std::move(args), "", {}, {}});
    return o.exitCode == 0 ? "" : tool + " exited " + std::to_string(o.exitCode) + ": " + o.err;
  }

  Outcome Client(const std::string& program, std::vector<std::string> args) {
    if (program == "prwatch") args.insert(args.end(), {"-nwait", "0", "-ntries", "10000000"});
    return RunProgram(area_.Client(program, std::move(args), {}));
  }

  TempDir dir_;
  const std::string server_ = "127.0.0.1:631";
  Area area_;
  std::optional<Running> cupsd_, controller_;
};

// Every CUPS job state and queue state as the listings show them, names
// with escape sequences and CJK characters, an unknown queue; then the
// scheduler hung or gone is told fast, and once back it is picked up.
TEST_F(Cups, ListingsShowTheSchedulersQueuesAndJobsAndItsAbsence) {
  for (const std::string q : {"open", "stöpped", "shut", "hang", "fail"}) {
    const std::string uri = q == "hang" || q == "fail" ? q + ":/" : "file:///dev/null";  // the test's backends
    ASSERT_EQ(Tool("/usr/sbin/lpadmin", {"-p", q, "-E", "-v", uri, "-o", "printer-error-policy=abort-job"}), "");
  }
  ASSERT_EQ(Tool("/usr/sbin/cupsdisable", {"-r", "toner low", "stöpped"}), "");
  ASSERT_EQ(Tool("/usr/sbin/cupsreject", {"-r", "closed for \x1b[1mservice", "shut"}), "");
  // Each job's row as the listing must show it, in print order (dave's
  // job has the higher priority); the jobs are submitted from these rows,
  // in the order of their ids, held where the row says so.
  const std::string all =
      "All jobs: 7\n"
      "JOB  OWNER  QUEUE    STATUS    NAME\n"
      "5    erin   hang     printing  long\n"
      "4    dave   stöpped  queued    waiting\n"
      "1    alice  open     held      report\n"
      "2    bob    open     held      plan^[[2J\n"
      "3    carol  open     held      日本語の文書\n"
      "6    frank  fail     error     doomed\n"
      "7    gina   open     done      quick\n";
  std::istringstream rows(all.substr(all.find("NAME\n") + 5));
  std::map<int, std::vector<std::string>> jobs;
  for (std::string id, user, queue, status, title; rows >> id >> user >> queue >> status >> title;) {
    if (title == "plan^[[2J") title = "plan\x1b[2J";  // sent raw, shown escaped
    std::vector<std::string>& args = jobs[std::stoi(id)] = {"-d", queue, "-t", title, "-U", user, "/etc/hostname"};
    if (status == "held") args.insert(args.end(), {"-H", "hold"});
    if (user == "dave") args.insert(args.end(), {"-q", "90"});
  }
  for (const auto& [id, args] : jobs) ASSERT_EQ(Tool("/usr/bin/lp", args), "") << id;
  Outcome o;
  EXPECT_TRUE(WaitFor([&] { return (o = Client("prwatch", {})).out == all; }, Millis(10000)))
      << o.out << o.err;
  // Done jobs are asked of the scheduler apart from the others.
  o = Client("prwatch", {"-s", "done"});
  EXPECT_EQ(o.out.substr(0, o.out.find('\n')), "Jobs matching status \"done\": 1");
  o = Client("prwatch", {"-p", "stöpped"});  // the scheduler's name, not its URI's "st%C3%B6pped"
  EXPECT_EQ(o.out.substr(0, o.out.find('\n')), "Jobs matching queue \"stöpped\": 1");
  o = Client("prwatch", {"-p", "nosuch"});
  EXPECT_EQ(std::tie(o.out, o.exitCode), std::tuple("prwatch: no queue named \"nosuch\"\n", 6));
  EXPECT_THAT(Client("prwatch", {"-v", "-i", "3"}).out, HasSubstr("  Size:       1 KiB, rounded up (1.0K)\n"));
  o = Client("prbay", {});
  EXPECT_EQ(o.exitCode, 0) << o.err;
  for (const char* part : {"\nopen     idle", "  3  open\n",  // held jobs count, done ones not
                           "\nstöpped  stopped (paused): toner low  ",
                           "\nshut     idle, rejecting jobs: closed for ^[[1mservice  "})
    EXPECT_THAT(o.out, HasSubstr(part));

  for (int sig : {SIGSTOP, SIGTERM}) {
    if (sig == SIGSTOP) kill(cupsd_->pid(), SIGSTOP);
    else kill(cupsd_->pid(), SIGCONT), cupsd_->Finish(SIGTERM);
    const auto start = std::chrono::steady_clock::now();
    o = Client("prwatch", {});
    EXPECT_LT(std::chrono::steady_clock::now() - start, Millis(3500)) << sig;  // the idle limit, and room
    EXPECT_THAT(o.out, testing::MatchesRegex("prwatch: spool state unavailable: CUPS scheduler at "
                                             "localhost:631: [^\n]+\n"));
    EXPECT_EQ(o.exitCode, 5);
  }
  StartScheduler();  // asked again once the failure's second is over
  EXPECT_TRUE(WaitFor([&] { return (o = Client("prwatch", {})).exitCode == 0; })) << o.out;
  EXPECT_EQ(o.out.substr(0, 12), "All jobs: 7\n");
}

// A listing of more jobs than the scheduler gives at once (500) is whole,
// or it is not given.
TEST_F(Cups, ListingsOfMoreThanFiveHundredJobsAreWhole) {
  ASSERT_EQ(Tool("/usr/sbin/lpadmin", {"-p", "open", "-E", "-v", "file:///dev/null"}), "");
  const Outcome lp = RunProgram({"/bin/sh", {"-c", "seq 600 | xargs -P 4 -I@ lp -h \"$0\" -d open -H hold -t j@ "
                                                "/etc/hostname >/dev/null", server_}, "", {}, {}});
  ASSERT_EQ(lp.exitCode, 0) << lp.err;
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-l"}, {}, {"-i", "600", "-v"}}) {
    const Outcome o = Client("prwatch", args);
    EXPECT_EQ(o.out.substr(0, o.out.find('\n')), args.size() < 2 ? "All jobs: 600" : "Jobs matching id \"600\": 1");
  }
}

}  // namespace
