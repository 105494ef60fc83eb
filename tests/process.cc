#include "process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "test_util.h"

extern char** environ;

namespace testutil {

pid_t Start(const Launch& launch, const std::string& scratch, const char* terminal) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  if (terminal) {
    // Opened by the leader of a new session, it becomes its controlling terminal.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    posix_spawn_file_actions_addopen(&fa, 0, terminal, O_RDWR, 0);
    posix_spawn_file_actions_adddup2(&fa, 0, 1);
    posix_spawn_file_actions_adddup2(&fa, 0, 2);
  } else {
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    std::string outPath = launch.stdoutPath.empty() ? scratch + "/stdout" : launch.stdoutPath;
    posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::string errPath = scratch + "/stderr";
    posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  if (!launch.cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, launch.cwd.c_str());

  // Ours, then the launch's entries; of entries with one name the last wins.
  std::vector<std::string> all, envStrings;
  for (char** e = environ; *e; ++e) all.push_back(*e);
  all.insert(all.end(), launch.env.begin(), launch.env.end());
  for (std::size_t i = 0; i < all.size(); ++i) {
    const std::string name = all[i].substr(0, all[i].find('=') + 1);
    bool later = false;
    for (std::size_t j = i + 1; j < all.size() && !later; ++j) later = all[j].rfind(name, 0) == 0;
    if (!later) envStrings.push_back(all[i]);
  }
  std::vector<char*> envp, argv;
  for (std::string& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> words{launch.program};
  words.insert(words.end(), launch.args.begin(), launch.args.end());
  for (std::string& s : words) argv.push_back(s.data());
  argv.push_back(nullptr);

  pid_t pid = 0;
  int rc = posix_spawn(&pid, launch.program.c_str(), &fa, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) throw std::runtime_error("cannot start " + launch.program + ": " + std::strerror(rc));
  return pid;
}

Outcome Finish(pid_t pid, const std::string& scratch) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  Outcome o;
  o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  o.out = ReadFile(scratch + "/stdout");
  o.err = ReadFile(scratch + "/stderr");
  return o;
}

Outcome Run(const Launch& launch) {
  TempDir scratch;
  return Finish(Start(launch, scratch.path()), scratch.path());
}

}  // namespace testutil
