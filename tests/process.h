// Runs a built program as a process and collects what it printed.
#ifndef PRCLIENT_TEST_PROCESS_H_
#define PRCLIENT_TEST_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace testutil {

struct Outcome {
  std::string out, err;
  int exitCode = -1000;  // the exit status, or -signal when killed
};

struct Launch {
  std::string program;
  std::vector<std::string> args;
  std::string cwd;
  std::vector<std::string> env;  // NAME=value entries added to ours; the last one wins
  std::string stdoutPath;        // empty: captured
};

// Words for exec: keep them while their pointers (null-terminated) are used.
struct Words : std::vector<std::string> {
  std::vector<char*> pointers();
};
// Our environment with `extra` (NAME=value) added; the last entry of a name wins.
Words Environment(const std::vector<std::string>& extra);
// The program's name, then its arguments.
Words Argv(const Launch& launch);

// Starts the program; its output goes to files in `scratch`.
pid_t Start(const Launch& launch, const std::string& scratch);
// Waits for a started program and reads what it printed.
Outcome Finish(pid_t pid, const std::string& scratch);
Outcome Run(const Launch& launch);

}  // namespace testutil

#endif  // PRCLIENT_TEST_PROCESS_H_
