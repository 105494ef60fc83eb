#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "prclient.h"

namespace {

using V = std::vector<std::string>;

// Splits `text` and returns the fields, or {"<-1>"} for a refused line.
V Split(std::string text) {
  std::vector<char> line(text.begin(), text.end());
  line.push_back('\0');
  char** fields = nullptr;
  int n = prclient::Parse(line.data(), &fields);
  if (n < 0) {
    EXPECT_EQ(fields, nullptr) << "a refused line hands back no fields";
    return {"<-1>"};
  }
  EXPECT_EQ(fields[n], nullptr);
  return V(fields, fields + n);
}

TEST(Parse, Lines) {
  std::string nineteen;
  for (int i = 0; i < 19; ++i) nineteen += "f ";
  nineteen.pop_back();
  const std::pair<std::string, V> cases[] = {
      {"", {}},
      {"a, b", {"a", "b"}},
      {"a , b", {"a", "", "b"}},  // a comma after a blank opens a field
      {"a  ", {"a", ""}},         // trailing blanks, no newline
      {"a\tb\n", {"a", "b"}},
      {",a", {"", "a"}},
      {"  \n", {}},
      {"# all comment", {}},
      {"   # indented comment\n", {}},
      {"a # rest", {"a"}},
      {"a#b", {"a#b"}},  // "#" inside a field is text
      {"\"x y\" z\n", {"x y", "z"}},
      {"\"x, y\" , z", {"x, y", "z"}},  // one comma after a quote is eaten
      {"\"x\",,y", {"x", "", "y"}},     // and only one
      {"\"x\"\n", {"x"}},
      {"\"open to the end", {"open to the end"}},
      {"\"open to the newline\nnext", {"open to the newline", "next"}},
      {nineteen, V(19, "f")},
      {nineteen + " f", {"<-1>"}},
      {nineteen + " f f f f", {"<-1>"}},
  };
  for (const auto& [line, fields] : cases) EXPECT_EQ(Split(line), fields) << line;
}

}  // namespace
