#include "process.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>
#include <stdexcept>

#include "test_util.h"

extern char** environ;

namespace testutil {

pid_t Start(const Launch& launch, const std::string& scratch, const char* terminal) {
  // Ours, then the launch's entries; of entries with one name the last wins.
  std::map<std::string, std::string> env;
  auto add = [&env](const std::string& entry) { env[entry.substr(0, entry.find('='))] = entry; };
  for (char** e = environ; *e; ++e) add(*e);
  for (const std::string& entry : launch.env) add(entry);
  std::vector<std::string> words{launch.program};
  words.insert(words.end(), launch.args.begin(), launch.args.end());
  std::vector<char*> envp, argv;
  for (auto& entry : env) envp.push_back(entry.second.data());
  for (std::string& s : words) argv.push_back(s.data());
  envp.push_back(nullptr);
  argv.push_back(nullptr);
  const std::string out = launch.stdoutPath.empty() ? scratch + "/stdout" : launch.stdoutPath;
  const std::string err = scratch + "/stderr";

  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
  if (pid > 0) return pid;
  // The program dies with the test: a test ended by its time limit or a
  // crash leaves no controller or client running.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  // A terminal opened by the leader of a new session becomes its controlling
  // terminal, with the program in its foreground. The descriptors opened
  // here stay out of the program but for the three they become.
  const int tty = terminal && setsid() >= 0 ? open(terminal, O_RDWR | O_CLOEXEC) : -1;
  const int o = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
  const int fds[] = {terminal ? tty : open("/dev/null", O_RDONLY | O_CLOEXEC),
                     terminal ? tty : open(out.c_str(), o, 0600),
                     terminal ? tty : open(err.c_str(), o, 0600)};
  for (int i = 0; i < 3; ++i)
    if (fds[i] < 0 || dup2(fds[i], i) < 0) _exit(127);
  if (getppid() != parent || (!launch.cwd.empty() && chdir(launch.cwd.c_str()) != 0)) _exit(127);
  execve(launch.program.c_str(), argv.data(), envp.data());
  _exit(127);
}

Outcome Finish(pid_t pid, const std::string& scratch) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return {ReadFile(scratch + "/stdout"), ReadFile(scratch + "/stderr"),
          WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status)};
}

Outcome RunProgram(const Launch& launch) {
  TempDir scratch;
  return Finish(Start(launch, scratch.path()), scratch.path());
}

}  // namespace testutil
