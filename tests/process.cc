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

std::vector<char*> Words::pointers() {
  std::vector<char*> p;
  for (std::string& w : *this) p.push_back(w.data());
  p.push_back(nullptr);
  return p;
}

Words Environment(const std::vector<std::string>& extra) {
  // Ours, then the extra entries; of entries with one name the last wins.
  Words all, env;
  for (char** e = environ; *e; ++e) all.push_back(*e);
  all.insert(all.end(), extra.begin(), extra.end());
  for (std::size_t i = 0; i < all.size(); ++i) {
    const std::string name = all[i].substr(0, all[i].find('=') + 1);
    bool later = false;
    for (std::size_t j = i + 1; j < all.size() && !later; ++j) later = all[j].rfind(name, 0) == 0;
    if (!later) env.push_back(all[i]);
  }
  return env;
}

Words Argv(const Launch& launch) {
  Words words;
  words.push_back(launch.program);
  words.insert(words.end(), launch.args.begin(), launch.args.end());
  return words;
}

pid_t Start(const Launch& launch, const std::string& scratch) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  std::string outPath = launch.stdoutPath.empty() ? scratch + "/stdout" : launch.stdoutPath;
  posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::string errPath = scratch + "/stderr";
  posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (!launch.cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, launch.cwd.c_str());

  Words env = Environment(launch.env), words = Argv(launch);
  std::vector<char*> envp = env.pointers(), argv = words.pointers();

  pid_t pid = 0;
  int rc = posix_spawn(&pid, launch.program.c_str(), &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
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
