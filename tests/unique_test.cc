#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

#include "prclient.h"
#include "test_util.h"

namespace {

using namespace testutil;

using prclient::UniqueName;

TEST(UniqueName, WorkedExamplesAndTheCut) {
  // pid 500, seconds 0x2a3b4c5d, 123 ms, host ws1, first and second call.
  EXPECT_EQ(UniqueName(500, 0x2a3b4c5d, 123, "ws1", 500, 14), "4c5d7bws101f4");
  EXPECT_EQ(UniqueName(500, 0x2a3b4c5d, 123, "ws1", 501, 14), "4c5d7bws101f5");
  EXPECT_EQ(UniqueName(500, 0x2a3b4c5d, 123, "ws1", 500, 100), "1f42a3b4c5d7bws101f4");
  EXPECT_EQ(UniqueName(1, 2, 3, "h", 1, 14), "123h0001");  // short: copied whole
  EXPECT_EQ(UniqueName(500, 0x2a3b4c5d, 123, "ws1", 500, 1), "");
  EXPECT_EQ(UniqueName(500, 0x2a3b4c5d, 123, "ws1", 500, 0), "");
  // Long host names give way to the time: low seconds, milliseconds, host
  // start, counter. Two workstations of one domain with the same pid, a
  // second or a millisecond apart, get names of their own.
  const std::string first = UniqueName(500, 0x2a3b4c5d, 123, "ws101.example.com", 500, 14);
  EXPECT_EQ(first, "4c5d7bws101f4");
  EXPECT_NE(UniqueName(500, 0x2a3b4c5e, 123, "ws102.example.com", 500, 14), first);
  EXPECT_NE(UniqueName(500, 0x2a3b4c5d, 124, "ws102.example.com", 500, 14), first);
  // Wide values never make the name longer than the field.
  for (unsigned long counter : {0x1UL, 0xffffUL, 0x3fffffUL, 0xffffffffUL})
    EXPECT_LE(UniqueName(0x3fffff, 0xffffffff, 999, std::string(31, 'h'), counter, 14).size(), 13u);
}

// Run again as one of many clients by the test below: say it is ready,
// wait for the start, print one reply name and leave.
const bool kNameClient = [] {
  const char* fds = std::getenv("UNIQUE_TEST_FDS");
  if (fds == nullptr) return false;
  const int ready = std::atoi(fds), go = std::atoi(std::strchr(fds, ',') + 1);
  char c = 'r';
  if (write(ready, &c, 1) != 1) std::exit(1);
  while (read(go, &c, 1) > 0) {
  }
  char name[prclient::kNameSize];
  prclient::MakeUnique(name, 14);
  std::printf("%s\n", name);
  std::exit(0);
}();

// Clients started at once all choose different reply names (clients that
// share a pid in namespaces of their own: the hostile suite).
TEST(MakeUnique, NamesDifferBetweenClients) {
  int ready[2], go[2], out[2];
  ASSERT_EQ(pipe(ready) | pipe(go) | pipe(out), 0);
  ScopedEnv env("UNIQUE_TEST_FDS", std::to_string(ready[1]) + "," + std::to_string(go[0]));
  const std::string exe = "/proc/" + std::to_string(getpid()) + "/exe";
  std::vector<pid_t> pids;
  for (int i = 0; i < 60; ++i) {
    if (pids.emplace_back(fork()) == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(go[1]);
      execl(exe.c_str(), "lib_test", nullptr);
      _exit(127);
    }
  }
  char c;
  for (std::size_t i = 0; i < pids.size(); ++i) ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(go[1]);  // they all go at once now
  close(out[1]);
  std::istringstream names(ReadFile("/proc/self/fd/" + std::to_string(out[0])));
  for (pid_t pid : pids) waitpid(pid, nullptr, 0);
  for (int fd : {ready[0], ready[1], go[0], out[0]}) close(fd);
  // Each client starts its counter somewhere, and has random digits of its
  // own before it: names made in one millisecond differ there too.
  std::set<std::string> distinct, counters, fronts;
  std::size_t count = 0;
  for (std::string name; std::getline(names, name); ++count) {
    EXPECT_LE(name.size(), 13u);
    distinct.insert(name);
    counters.insert(name.substr(name.size() - 4));
    fronts.insert(name.substr(0, name.size() - 4));
  }
  EXPECT_EQ(count, pids.size());
  EXPECT_EQ(distinct.size(), count);
  EXPECT_GT(counters.size(), count / 2);
  EXPECT_GT(fronts.size(), count / 2);
  char first[prclient::kNameSize], second[prclient::kNameSize];
  std::memset(first, 'Z', sizeof first);
  EXPECT_EQ(prclient::MakeUnique(first, 14) | prclient::MakeUnique(second, 14), 0);
  EXPECT_LT(strnlen(first, sizeof first), sizeof first) << "terminated";
  EXPECT_STRNE(first, second);
  char one[1] = {'Z'};  // room for the terminator alone
  EXPECT_EQ(prclient::MakeUnique(one, 1), 0);
  EXPECT_EQ(one[0], '\0');
}

TEST(MakeControl, NewEmptyFileNamedFromTheTemplate) {
  TempDir dir;
  char start[prclient::kPathSize];
  ASSERT_EQ(prclient::GetDir(start, sizeof start), 0);
  ASSERT_EQ(prclient::SetDir(dir.path().c_str()), 0);
  const mode_t old = umask(022);
  std::vector<std::string> names;
  const std::string slash = dir.slash();
  for (const char* in : {slash.c_str(), static_cast<const char*>(nullptr)}) {
    char templ[] = "sprXXXXXX";
    char name[prclient::kNameSize];
    std::memset(name, 'Z', sizeof name);
    EXPECT_TRUE(prclient::MakeControl(in, templ, name));  // null: the working directory
    ASSERT_EQ(strnlen(name, sizeof name), 9u);
    EXPECT_EQ(std::string(name, 3), "spr");
    EXPECT_STREQ(templ, name);  // the template is rewritten in place
    EXPECT_EQ(Mode(dir / name), S_IFREG | 0644u);
    EXPECT_EQ(ReadFile(dir / name), "");
    names.emplace_back(name);
  }
  umask(old);
  EXPECT_EQ(prclient::SetDir(start), 0);
  EXPECT_NE(names[0], names[1]);
  // A bad template or directory fails, as does one whose file's path would
  // not fit the library's path buffers, by one character or more.
  const std::string edge = dir / std::string(prclient::kPathSize - dir.path().size() - 11, 'e');
  ASSERT_EQ(mkdir(edge.c_str(), 0755) | mkdir((edge + "e").c_str(), 0755), 0);
  const std::pair<std::string, std::string> bad[] = {
      {edge + "/", "sprXXXXXX"}, {edge + "e/", "sprXXXXXX"},
      {dir.slash(), "sprXXXXX"}, {dir.slash(), "sprXXXXXXXXXXX"},  // 14: no room for the NUL
      {"/nonexistent-dir/", "sprXXXXXX"},
      {"/" + std::string(130, 'd'), "sprXXXXXX"}};
  for (auto [in, templ] : bad) {
    char name[prclient::kNameSize];
    EXPECT_FALSE(prclient::MakeControl(in.c_str(), templ.data(), name)) << templ;
  }
  // A link at the folder's path is followed when it belongs to the owner of
  // the folder that holds it, as in the sticky folders users share.
  const passwd* nobody = getpwnam("nobody");
  if (geteuid() != 0 || !nobody) GTEST_SKIP() << "a link another user owns not tried: needs root and \"nobody\"";
  const std::string home = dir / "home", link = home + "/spool";
  mkdir(home.c_str(), 0755);
  ASSERT_EQ(chown(home.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  ASSERT_EQ(symlink(dir.path().c_str(), link.c_str()), 0);
  ASSERT_EQ(lchown(link.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  char templ[] = "sprXXXXXX";
  char name[prclient::kNameSize];
  EXPECT_TRUE(prclient::MakeControl(link.c_str(), templ, name));
}

TEST(MakeData, NeverOpensAPlantedFileOrLink) {
  TempDir dir;
  char name[prclient::kNameSize];
  ASSERT_EQ(prclient::MakeDataName(name), 0);
  // The next names are predictable: plant a link and a file at them.
  const unsigned next = static_cast<unsigned>(std::strtoul(std::strchr(name, '.') + 1, nullptr, 16));
  char linkName[32], fileName[32], third[32];  // the next three
  for (auto [buf, k] : {std::pair(linkName, 1u), {fileName, 2u}, {third, 3u}})
    std::snprintf(buf, sizeof linkName, "%x.%03x", static_cast<unsigned>(getpid()), next + k);
  WriteFile(dir / "victim", "precious");
  ASSERT_EQ(symlink((dir / "victim").c_str(), (dir / linkName).c_str()), 0);
  WriteFile(dir / fileName, "someone else's");

  const mode_t old = umask(0);
  prclient::FilePtr f = prclient::MakeData(dir.path().c_str(), name);
  umask(old);
  ASSERT_TRUE(f);
  std::fputs("data", f.get());
  f.reset();
  EXPECT_EQ(ReadFile(dir / "victim"), "precious");
  EXPECT_EQ(ReadFile(dir / fileName), "someone else's");
  EXPECT_EQ(ReadFile(dir / name), "data");
  EXPECT_STREQ(name, third) << "the first name after the planted ones";
  EXPECT_EQ(Mode(dir / name), S_IFREG | 0777u);
  chmod(dir.path().c_str(), 0777);  // others could move the file: refused
  EXPECT_FALSE(prclient::MakeData(dir.path().c_str(), name));
}

}  // namespace
