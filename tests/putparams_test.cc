#include <gtest/gtest.h>

#include <cstring>

#include "prclient.h"
#include "test_util.h"

namespace {

using namespace testutil;

// The image written out field by field, as the controller reads it.
std::string Image(const std::string& control, const std::string& reply,
                  const std::string& request, const std::string& count,
                  const std::string& line) {
  std::string img;
  for (auto [field, width] : {std::pair(control, 14), {reply, 14}, {request, 14}, {count, 6}, {line, 79}})
    img += field.append(width - field.size(), ' ') + '\0';
  return img;
}

TEST(RequestImage, ByteForByte) {
  const struct {
    const char* request;
    std::vector<std::string> args;
    std::string name, count, line;
  } cases[] = {
      {"prwatch", {}, "prwatch", "1", "prwatch"},
      {"prwatch", {"-p", "queue1"}, "prwatch", "3", "prwatch \"-p\" \"queue1\""},
      // Blanks and quotes inside an argument go through as they are.
      {"prbay", {"a b", "say \"hi\""}, "prbay", "3", "prbay \"a b\" \"say \"hi\"\""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ClientImage("sprAb12Cd", "4c5d7bws101f4", c.request, c.args),
              Image("sprAb12Cd", "4c5d7bws101f4", c.name, c.count, c.line));
}

TEST(Putparams, WritesTheImageAtTheStartAndCloses) {
  TempDir dir;
  std::string path = dir / "req";
  prclient::RequestRecord rec;  // the request name alone
  std::strcpy(rec.requestName, "prwatch");
  rec.wordCount = 1;
  rec.words[0] = rec.requestName;
  {
    prclient::FilePtr f(std::fopen(path.c_str(), "w+"));
    std::fputs(std::string(200, 'x').c_str(), f.get());  // writes go to offset 0
    ASSERT_EQ(prclient::putparams(rec, std::move(f)), 0);
  }
  std::string content = ReadFile(path);
  EXPECT_EQ(content.substr(0, 132), prclient::RequestImage(rec));

  // A stream that cannot be written reports failure.
  prclient::FilePtr ro(std::fopen(path.c_str(), "r"));
  EXPECT_EQ(prclient::putparams(rec, std::move(ro)), -1);
}

}  // namespace
