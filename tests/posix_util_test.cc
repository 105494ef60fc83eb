#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <climits>

#include "number.h"
#include "posix_util.h"
#include "test_util.h"

namespace {

using prclient::NumberForm;

TEST(ParseInteger, WholeFieldsAreStrict) {
  // The C-reader form is pinned by the status line and prwatch's options.
  const struct {
    const char* text;
    long long min, max;
    std::optional<long long> value;
  } cases[] = {
      {"42", 0, 100, 42},    {"0", 0, 0, 0},          {"-3", -5, 5, -3},
      {"-3", 0, 5, {}},      {"-0", 0, 5, {}},        {"+3", 0, 5, {}},
      {" 3", 0, 5, {}},      {"3 ", 0, 5, {}},        {"", 0, 5, {}},
      {"101", 0, 100, {}},   {"-6", -5, 5, {}},       {"99999999999999999999", 0, LLONG_MAX, {}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(prclient::ParseInteger(c.text, NumberForm::kWhole, c.min, c.max), c.value)
        << c.text;
  EXPECT_EQ(prclient::ParseInteger("-99999999999999999999x", NumberForm::kPrefix, -9, 9), -9);
}

TEST(PosixUtil, ReadAllStopsAtTheLimitAndRemovalTakesDirectories) {
  testutil::TempDir dir;
  testutil::WriteFile(dir / "f", std::string(70000, 'x'));
  std::string got, err;
  for (std::size_t limit : {70000, 69999}) {
    prclient::Fd fd(::open((dir / "f").c_str(), O_RDONLY));
    EXPECT_EQ(prclient::ReadAll(fd.get(), &got, limit, &err), limit == 70000) << limit;
  }
  ::mkdir((dir / "d").c_str(), 0700);
  prclient::Fd d(::open((dir / "d").c_str(), O_RDONLY));  // reading it fails
  EXPECT_FALSE(prclient::ReadAll(d.get(), &got, 10, &err));
  { prclient::ScopedRemoval d(dir / "d"), f(dir / "f"); }
  EXPECT_TRUE(testutil::ListDir(dir.path()).empty());
}

}  // namespace
