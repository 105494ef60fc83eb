#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "prclient.h"

namespace {

// Splits `text` and returns the fields, or {"<-1>"} for a refused line.
std::vector<std::string> Split(std::string text) {
  std::vector<char> line(text.begin(), text.end());
  line.push_back('\0');
  char** fields = nullptr;
  int n = prclient::Parse(line.data(), &fields);
  if (n < 0) return {"<-1>"};
  std::vector<std::string> out(fields, fields + n);
  EXPECT_EQ(fields[n], nullptr);
  return out;
}

using V = std::vector<std::string>;

TEST(Parse, FieldsCommasAndBlanks) {
  EXPECT_EQ(Split(""), V{});
  EXPECT_EQ(Split("a, b"), (V{"a", "b"}));
  EXPECT_EQ(Split("a , b"), (V{"a", "", "b"}));  // a comma after a blank opens a field
  EXPECT_EQ(Split("a  "), (V{"a", ""}));         // trailing blanks, no newline
  EXPECT_EQ(Split("a\tb\n"), (V{"a", "b"}));
  EXPECT_EQ(Split(",a"), (V{"", "a"}));
  EXPECT_EQ(Split("  \n"), V{});
}

TEST(Parse, CommentsAndQuotes) {
  EXPECT_EQ(Split("# all comment"), V{});
  EXPECT_EQ(Split("   # indented comment\n"), V{});
  EXPECT_EQ(Split("a # rest"), (V{"a"}));
  EXPECT_EQ(Split("a#b"), (V{"a#b"}));  // "#" inside a field is text
  EXPECT_EQ(Split("\"x y\" z\n"), (V{"x y", "z"}));
  EXPECT_EQ(Split("\"x, y\" , z"), (V{"x, y", "z"}));  // one comma after a quote is eaten
  EXPECT_EQ(Split("\"x\"\n"), (V{"x"}));
  EXPECT_EQ(Split("\"open to the end"), (V{"open to the end"}));
  EXPECT_EQ(Split("\"open to the newline\nnext"), (V{"open to the newline", "next"}));
}

TEST(Parse, NineteenFieldsAtMost) {
  std::string nineteen, twenty;
  for (int i = 0; i < 19; ++i) nineteen += "f ";
  nineteen.pop_back();
  twenty = nineteen + " f";
  EXPECT_EQ(Split(nineteen).size(), 19u);
  EXPECT_EQ(Split(twenty), (V{"<-1>"}));
  EXPECT_EQ(Split(twenty + " f f f"), (V{"<-1>"}));
}

}  // namespace
