#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "prclient.h"
#include "test_util.h"

namespace {

using namespace testutil;

TEST(Path, JoinAndSplit) {
  const std::pair<const char*, const char*> joins[] = {
      {nullptr, "x"}, {"", "x"}, {"/", "/x"}, {"/a", "/a/x"}, {"/a/", "/a/x"}};
  for (const auto& [dir, want] : joins) EXPECT_EQ(prclient::MakePath(dir, "x"), want);
  EXPECT_EQ(prclient::MakePath("/a", "/x"), "/a//x");
  const char* const splits[][3] = {  // path, its directory, its last name
      {"a/b/c", "a/b", "c"}, {"/c", "/", "c"}, {"/", "/", ""}, {"a/", "a", ""},
      {"a//b", "a/", "b"},   {"abc", "", "abc"}, {"", "", ""}, {"//x", "/", "x"}};
  for (const auto& s : splits)
    EXPECT_EQ(std::pair(prclient::DirPath(s[0]), std::string(prclient::SimplePath(s[0]))),
              (std::pair<std::string, std::string>(s[1], s[2]))) << s[0];
}

TEST(Path, SetDirAndGetDir) {
  char start[prclient::kPathSize], buf[prclient::kPathSize];
  ASSERT_EQ(prclient::GetDir(start, sizeof start), 0);
  TempDir tmp;
  EXPECT_EQ(prclient::SetDir((tmp.path() + "/").c_str()), 0);  // trailing "/" dropped
  EXPECT_EQ(prclient::SetDir(nullptr), 0);
  EXPECT_EQ(prclient::SetDir(""), 0);
  ASSERT_EQ(prclient::GetDir(buf, sizeof buf), 0);
  EXPECT_EQ(std::string(buf), tmp.path());  // the empty ones changed nothing
  EXPECT_EQ(prclient::SetDir("/"), 0);
  EXPECT_EQ(prclient::SetDir("/nonexistent-dir/"), -1);
  // A path too long for the library's buffers is refused, even one that exists.
  const std::string deep = tmp / std::string(prclient::kPathSize, 'd');
  ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
  EXPECT_EQ(prclient::SetDir(deep.c_str()), -1);
  EXPECT_EQ(prclient::GetDir(buf, 1), -1);  // too small for any path
  EXPECT_EQ(prclient::SetDir(start), 0);
}

}  // namespace
