#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "prclient.h"
#include "test_util.h"

namespace {

using prclient::UniqueName;

TEST(UniqueName, WorkedExampleAndTheCut) {
  // pid 500, seconds 0x2a3b4c5d, 123 ms, host ws1, first and second call.
  EXPECT_EQ(UniqueName(500, 0x2a3b4c5d, 123, "ws1", 500, 14), "4c5d7bws101f4");
  EXPECT_EQ(UniqueName(500, 0x2a3b4c5d, 123, "ws1", 501, 14), "4c5d7bws101f5");
  EXPECT_EQ(UniqueName(500, 0x2a3b4c5d, 123, "ws1", 500, 100),
            "1f42a3b4c5d7bws101f4");
  EXPECT_EQ(UniqueName(1, 2, 3, "h", 1, 14), "123h0001");  // short: copied whole
  EXPECT_EQ(UniqueName(500, 0x2a3b4c5d, 123, "ws1", 500, 1), "");
  EXPECT_EQ(UniqueName(500, 0x2a3b4c5d, 123, "ws1", 500, 0), "");
}

TEST(UniqueName, LongHostNamesGiveWayToTheTime) {
  // Two workstations of one domain, the same pid, a second apart: the cut
  // alone would keep only host and counter and give both the same name.
  const std::string a = UniqueName(500, 0x2a3b4c5d, 123, "ws101.example.com", 500, 14);
  const std::string b = UniqueName(500, 0x2a3b4c5e, 123, "ws102.example.com", 500, 14);
  EXPECT_NE(a, b);
  EXPECT_EQ(a, "4c5d7bws101f4");  // low seconds, milliseconds, host start, counter
  // Different milliseconds alone tell them apart too.
  EXPECT_NE(UniqueName(500, 0x2a3b4c5d, 123, "longhostname1", 500, 14),
            UniqueName(500, 0x2a3b4c5d, 124, "longhostname2", 500, 14));
  // Wide values never make the name longer than the field.
  for (unsigned long counter : {0x1UL, 0xffffUL, 0x3fffffUL, 0xffffffffUL})
    EXPECT_LE(UniqueName(0x3fffff, 0xffffffff, 999, std::string(31, 'h'), counter, 14).size(),
              13u);
}

TEST(MakeUnique, EveryCallGivesAFreshShortName) {
  char first[prclient::kNameSize], second[prclient::kNameSize];
  ASSERT_EQ(prclient::MakeUnique(first, 14), 0);
  ASSERT_EQ(prclient::MakeUnique(second, 14), 0);
  EXPECT_LE(std::strlen(first), 13u);
  EXPECT_EQ(std::strlen(first), std::strlen(second));
  EXPECT_STRNE(first, second);
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(MakeControl, NewEmptyFileNamedFromTheTemplate) {
  testutil::TempDir dir;
  mode_t old = umask(022);
  char templ[] = "sprXXXXXX";
  char name[prclient::kNameSize];
  prclient::FilePtr f = prclient::MakeControl(dir.slash().c_str(), templ, name);
  umask(old);
  ASSERT_TRUE(f);
  EXPECT_EQ(std::strlen(name), 9u);
  EXPECT_EQ(std::string(name, 3), "spr");
  EXPECT_STREQ(templ, name);  // the template is rewritten in place
  EXPECT_EQ(ModeOf(dir / name), 0644u);
  EXPECT_EQ(testutil::ReadFile(dir / name), "");

  // Names differ from call to call, and a bad template or directory fails.
  char templ2[] = "sprXXXXXX";
  char name2[prclient::kNameSize];
  EXPECT_TRUE(prclient::MakeControl(dir.slash().c_str(), templ2, name2));
  EXPECT_STRNE(name, name2);
  char noX[] = "sprXXXXX";
  EXPECT_FALSE(prclient::MakeControl(dir.slash().c_str(), noX, name2));
  char templ3[] = "sprXXXXXX";
  EXPECT_FALSE(prclient::MakeControl("/nonexistent-dir/", templ3, name2));
  char templ4[] = "sprXXXXXX";
  EXPECT_FALSE(prclient::MakeControl(("/" + std::string(130, 'd')).c_str(), templ4, name2));
}

TEST(MakeData, NeverOpensAPlantedFileOrLink) {
  testutil::TempDir dir;
  char name[prclient::kNameSize];
  ASSERT_EQ(prclient::MakeDataName(name), 0);
  // The next names are predictable: plant a link and a file at them.
  char pid[16];
  std::snprintf(pid, sizeof pid, "%x", static_cast<unsigned>(getpid()));
  unsigned next = static_cast<unsigned>(std::strtoul(std::strchr(name, '.') + 1, nullptr, 16)) + 1;
  char linkName[32], fileName[32];
  std::snprintf(linkName, sizeof linkName, "%s.%03x", pid, next);
  std::snprintf(fileName, sizeof fileName, "%s.%03x", pid, next + 1);
  testutil::WriteFile(dir / "victim", "precious");
  ASSERT_EQ(symlink((dir / "victim").c_str(), (dir / linkName).c_str()), 0);
  testutil::WriteFile(dir / fileName, "someone else's");

  mode_t old = umask(0);
  prclient::FilePtr f = prclient::MakeData(dir.path().c_str(), name);
  umask(old);
  ASSERT_TRUE(f);
  std::fputs("data", f.get());
  f.reset();
  EXPECT_STRNE(name, linkName);
  EXPECT_STRNE(name, fileName);
  EXPECT_EQ(testutil::ReadFile(dir / "victim"), "precious");
  EXPECT_EQ(testutil::ReadFile(dir / fileName), "someone else's");
  EXPECT_EQ(testutil::ReadFile(dir / name), "data");
  EXPECT_EQ(ModeOf(dir / name), 0777u);
}

}  // namespace
