#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bay_args.h"
#include "watch_args.h"

namespace {

std::vector<const char*> Argv(std::vector<const char*> args) {
  args.insert(args.begin(), "prog");
  return args;
}

TEST(PrwatchOptions, WhichFormsAreLocal) {
  const struct {
    const char* arg;
    int server, tries, wait;
  } forms[] = {
      {"-serverName", 1, -1, -1}, {"-serverNam", 1, -1, -1}, {"-se", 1, -1, -1},
      {"-", 1, -1, -1},           {"-ntries", -1, 1, -1},    {"-nt", -1, 1, -1},
      {"-nwait", -1, -1, 1},      {"-nw", -1, -1, 1},        {"-s", -1, -1, -1},
      {"-n", -1, -1, -1},         {"-Server", -1, -1, -1},   {"-serverNameX", -1, -1, -1},
      {"--server", -1, -1, -1},   {"-nwaitx", -1, -1, -1},   {"-ntriesx", -1, -1, -1},
      {"server", -1, -1, -1},     {"-ntrys", -1, -1, -1},
  };
  for (const auto& f : forms) {
    auto argv = Argv({f.arg, "v"});
    prwatch::LocalOptions o = prwatch::ScanOptions(3, argv.data());
    EXPECT_EQ(std::tie(o.server, o.tries, o.wait), std::tie(f.server, f.tries, f.wait)) << f.arg;
  }
}

TEST(PrbayOptions, FirstMatchOnly) {
  const struct {
    std::vector<const char*> args;
    int k;
  } cases[] = {
      {{"-server", "hostA", "-p", "q1"}, 1}, {{"-p", "q1", "-se", "hostA"}, 3},  {{"-s", "hostA"}, -1},
      {{"-servername", "hostA"}, -1},        {{"-serverNameX", "hostA"}, -1},     {{"--server", "hostA"}, -1},
      {{"-", "hostA"}, 1},                   {{"-server", "hostA", "-server", "hostB"}, 1}, {{}, -1},
  };
  for (const auto& c : cases) {
    auto argv = Argv(c.args);
    EXPECT_EQ(prbay::ScanOption(static_cast<int>(argv.size()), argv.data()), c.k);
  }
  EXPECT_EQ(prbay::ForwardedIndices(5, 1), (std::vector<int>{0, 3, 4}));
  EXPECT_EQ(prbay::ForwardedIndices(5, 3), (std::vector<int>{0, 1, 2}));
}

}  // namespace
