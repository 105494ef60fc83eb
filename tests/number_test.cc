#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <utility>

#include "number.h"

namespace {

using prclient::NumberForm;

TEST(ParseInteger, WholeFieldsAreStrict) {
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
  // The prefix form reads what a status line or -ntries begins with, as %d
  // does, clamped to the range.
  const std::pair<const char*, std::optional<long long>> prefixes[] = {
      {"3x", 3}, {" -5", -5}, {"+7", 7}, {"abc", {}}, {"", {}}, {"-", {}}, {"x3", {}}, {"-99999999999999999999x", -9}};
  for (const auto& [text, value] : prefixes)
    EXPECT_EQ(prclient::ParseInteger(text, NumberForm::kPrefix, -9, 9), value) << text;
}

}  // namespace
