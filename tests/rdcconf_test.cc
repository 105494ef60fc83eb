#include <gtest/gtest.h>

#include <cstring>

#include "prclient.h"
#include "test_util.h"

namespace {

struct Conf {
  int result;
  std::string host, print, stat;
};

Conf Read(const std::string& content) {
  testutil::TempDir dir;
  std::string path = dir / "cconf";
  testutil::WriteFile(path, content);
  const char* saved = prclient::Qconffile;
  prclient::Qconffile = path.c_str();
  char host[prclient::kHostSize], print[prclient::kPathSize], stat[prclient::kPathSize];
  Conf c;
  c.result = prclient::ReadConf(host, print, stat);
  prclient::Qconffile = saved;
  c.host = host;
  c.print = print;
  c.stat = stat;
  return c;
}

TEST(ReadConf, UsualLayoutAndLeadingComments) {
  Conf c = Read("hostA\n/print/\n/requests/\n");
  EXPECT_EQ(c.result, 0);
  EXPECT_EQ(c.host, "hostA");
  EXPECT_EQ(c.print, "/print/");
  EXPECT_EQ(c.stat, "/requests/");

  c = Read("# controller\n\n   \n# more\nhostA\n/p/\n/q/");
  EXPECT_EQ(c.result, 0);
  EXPECT_EQ(c.host, "hostA");
  EXPECT_EQ(c.stat, "/q/");
}

TEST(ReadConf, ValuesKeepTheLinesOwnText) {
  Conf c = Read("  hostA\n \"/p/\"\n/q/ # trailing comment\n");
  EXPECT_EQ(c.result, 0);
  EXPECT_EQ(c.host, "  hostA");  // leading blanks stay
  EXPECT_EQ(c.print, " \"/p/");   // so does an opening quote
  EXPECT_EQ(c.stat, "/q/");
}

TEST(ReadConf, RefusedLayouts) {
  // A comment between the values is taken as a value and refused.
  EXPECT_EQ(Read("hostA\n# c\n/p/\n/q/\n").result, -1);
  // Two fields on the host line make four in all.
  EXPECT_EQ(Read("hostA hostB\n/p/\n/q/\n").result, -1);
  // An empty value line counts no field.
  EXPECT_EQ(Read("hostA\n\n/q/\n").result, -1);
  // Only comments, and a file that ends before the third value.
  EXPECT_EQ(Read("# nothing\n\n").result, -1);
  EXPECT_EQ(Read("hostA\n/p/\n").result, -1);
  EXPECT_EQ(Read("hostA\n/p/").result, -1);
  EXPECT_EQ(Read("").result, -1);
}

TEST(ReadConf, RefusedLineCountsMinusOne) {
  std::string three = "a b c\n", twentyOne;
  for (int i = 0; i < 21; ++i) twentyOne += "x ";
  twentyOne += "\n";
  // 3 + (-1) + 1 == 3: accepted, as the counting rule has it.
  EXPECT_EQ(Read(three + twentyOne + "/q/\n").result, 0);
  // As the first value line, a refused line is skipped.
  Conf c = Read(twentyOne + "hostA\n/p/\n/q/\n");
  EXPECT_EQ(c.result, 0);
  EXPECT_EQ(c.host, "hostA");
}

TEST(ReadConf, OverlongValuesAreRefusedNotCut) {
  std::string host31(31, 'h'), host32(32, 'h');
  Conf ok = Read(host31 + "\n/p/\n/q/\n");
  EXPECT_EQ(ok.result, 0);
  EXPECT_EQ(ok.host, host31);
  EXPECT_EQ(Read(host32 + "\n/p/\n/q/\n").result, -1);
  // A line over 127 bytes is read in two pieces: its rest is the next value.
  Conf split = Read("h\n/" + std::string(130, 'p') + "\n/q/\n");
  EXPECT_EQ(split.result, 0);
  EXPECT_EQ(split.print, "/" + std::string(126, 'p'));
  EXPECT_EQ(split.stat, "pppp");
}

TEST(ReadConf, MissingFileLeavesBuffersAlone) {
  const char* saved = prclient::Qconffile;
  prclient::Qconffile = "/nonexistent/cconf";
  char host[prclient::kHostSize] = "keep", print[prclient::kPathSize] = "p",
       stat[prclient::kPathSize] = "s";
  EXPECT_EQ(prclient::ReadConf(host, print, stat), -1);
  prclient::Qconffile = saved;
  EXPECT_STREQ(host, "keep");
  EXPECT_STREQ(print, "p");
  EXPECT_STREQ(stat, "s");
}

}  // namespace
