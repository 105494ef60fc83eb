#include <gtest/gtest.h>

#include <string>

#include "prcontroller/escape.h"

namespace prcontroller {
namespace {

TEST(ControllerEscape, ControlCharactersBecomeVisible) {
  const struct {
    std::string in, visible, quoted;
  } cases[] = {
      {"\x1b[31mred", "^[[31mred", "\"^[[31mred\""},
      {std::string("nul\0bel\x07\n\x7f", 10), "nul^@bel^G^J^?", "\"nul^@bel^G^J^?\""},
      {"Z\xc3\xbc \xe2\x82\xac", "Z\xc3\xbc \xe2\x82\xac", "\"Z\xc3\xbc \xe2\x82\xac\""},
      // Escapes made here keep one backslash; a backslash the text holds
      // is doubled when quoted, so the two never read alike.
      {"csi\xc2\x9b", "csi\\u009B", "\"csi\\u009B\""},
      {"raw\x9b\xff", "raw\\x9B\\xFF", "\"raw\\x9B\\xFF\""},
      {"say \"hi\" \\x41", "say \"hi\" \\x41", "\"say \\\"hi\\\" \\\\x41\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Visible(c.in), c.visible) << c.visible;
    EXPECT_EQ(Quoted(c.in), c.quoted) << c.visible;
  }
}

}  // namespace
}  // namespace prcontroller
