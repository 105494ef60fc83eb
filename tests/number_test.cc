#include <gtest/gtest.h>

#include <climits>

#include "number.h"

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

}  // namespace
