#include <gtest/gtest.h>

#include "prclient.h"
#include "test_util.h"

namespace {

using namespace testutil;

struct Conf {
  int result;
  std::string host, print, stat;
};

// Reads `content` as the configuration; null content: no file at all.
Conf Read(const char* content) {
  TempDir dir;
  std::string path = dir / "cconf";
  if (content) WriteFile(path, content);
  const Scoped<const char*> conf(prclient::Qconffile, path.c_str());
  char host[prclient::kHostSize] = "keep", print[prclient::kPathSize] = "p",
       stat[prclient::kPathSize] = "s";
  return {prclient::ReadConf(host, print, stat), host, print, stat};
}

TEST(ReadConf, Layouts) {
  std::string twentyOne;
  for (int i = 0; i < 21; ++i) twentyOne += "x ";
  twentyOne += "\n";
  const std::string h31(31, 'h'), h32(32, 'h'), h100(100, 'h'), p126(126, 'p');
  const struct {
    std::string text;
    Conf want;
  } cases[] = {
      {"hostA\n/print/\n/requests/\n", {0, "hostA", "/print/", "/requests/"}},
      {"# controller\n\n   \n# more\nhostA\n/p/\n/q/", {0, "hostA", "/p/", "/q/"}},
      // A value is the line's own text: leading blanks and an opening quote stay.
      {"  hostA\n \"/p/\"\n/q/ # trailing comment\n", {0, "  hostA", " \"/p/", "/q/"}},
      // 3 + (-1) + 1 == 3: accepted, as the counting rule has it.
      {"a b c\n" + twentyOne + "/q/\n", {0, "a", "x", "/q/"}},
      {twentyOne + "hostA\n/p/\n/q/\n", {0, "hostA", "/p/", "/q/"}},  // skipped first
      {h31 + "\n/p/\n/q/\n", {0, h31, "/p/", "/q/"}},
      // A line over 127 bytes is read in two pieces: its rest is the next value.
      {"h\n/" + p126 + "pppp\n/q/\n", {0, "h", "/" + p126, "pppp"}},
  };
  for (const auto& c : cases) {
    Conf got = Read(c.text.c_str());
    EXPECT_EQ(std::tie(got.result, got.host, got.print, got.stat),
              std::tie(c.want.result, c.want.host, c.want.print, c.want.stat)) << c.text;
  }
  const std::string refused[] = {
      "hostA\n# c\n/p/\n/q/\n",  // a comment between the values is a value
      "hostA hostB\n# c\n/q/\n",  // three fields, but a value that is a comment
      "hostA hostB\n/p/\n/q/\n",  // four fields in all
      "hostA\n\n/q/\n",           // an empty value line counts no field
      "# nothing\n\n", "hostA\n/p/\n", "hostA\n/p/", "",
      h32 + "\n/p/\n/q/\n", h100 + "\n/p/\n/q/\n",  // cut, it would reach another host
  };
  for (const std::string& text : refused) EXPECT_EQ(Read(text.c_str()).result, -1) << text;
  Conf missing = Read(nullptr);
  EXPECT_EQ(missing.result, -1);
  EXPECT_EQ(missing.host + missing.print + missing.stat, "keepps") << "buffers left alone";
}

}  // namespace
