#include <gtest/gtest.h>

#include "prcontroller/table.h"

namespace prcontroller {
namespace {

// Terminals give a CJK character two columns; the columns after it line up.
TEST(ControllerTable, WideCharactersTakeTwoColumns) {
  Table table({{"OWNER"}, {"QUEUE"}});
  table.AddRow({"\xe5\xbc\xa0\xe4\xbc\x9f", "lp1"});
  table.AddRow({"bob", "lp2"});
  EXPECT_EQ(table.Render(), "OWNER  QUEUE\n\xe5\xbc\xa0\xe4\xbc\x9f   lp1\nbob    lp2\n");
}

}  // namespace
}  // namespace prcontroller
