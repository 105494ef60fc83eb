#include "process.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "test_util.h"

extern char** environ;

namespace testutil {

pid_t Start(const Launch& launch, const std::string& scratch, const char* terminal) {
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
  const std::string outPath = launch.stdoutPath.empty() ? scratch + "/stdout" : launch.stdoutPath;
  const std::string errPath = scratch + "/stderr";

  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
  if (pid > 0) return pid;
  // The program dies with the test: a test ended by its time limit or a
  // crash leaves no controller or client running.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (terminal) {
    // Opened by the leader of a new session, it becomes its controlling
    // terminal, with the program in its foreground.
    const int fd = setsid() < 0 ? -1 : open(terminal, O_RDWR);
    for (int i = 0; i < 3; ++i)
      if (fd < 0 || dup2(fd, i) < 0) _exit(127);
    if (fd > 2) close(fd);
  } else {
    const int fds[] = {open("/dev/null", O_RDONLY),
                       open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
                       open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)};
    for (int i = 0; i < 3; ++i)
      if (fds[i] < 0 || dup2(fds[i], i) < 0) _exit(127);
    for (int fd : fds)
      if (fd > 2) close(fd);
  }
  if (getppid() != parent || (!launch.cwd.empty() && chdir(launch.cwd.c_str()) != 0)) _exit(127);
  execve(launch.program.c_str(), argv.data(), envp.data());
  _exit(127);
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
