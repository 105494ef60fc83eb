// Runs a built program as a process and collects what it printed.
#ifndef PRCLIENT_TEST_PROCESS_H_
#define PRCLIENT_TEST_PROCESS_H_

#include <sys/types.h>

#include <ostream>
#include <string>
#include <vector>

namespace testutil {

struct Outcome {
  std::string out, err;
  int exitCode = -1000;  // the exit status, or -signal when killed
  bool operator==(const Outcome& o) const {
    return out == o.out && err == o.err && exitCode == o.exitCode;
  }
};
// How a failed comparison shows one.
inline void PrintTo(const Outcome& o, std::ostream* os) {
  *os << "exit " << o.exitCode << ", out \"" << o.out << "\", err \"" << o.err << '"';
}

struct Launch {
  std::string program;
  std::vector<std::string> args;
  std::string cwd;
  std::vector<std::string> env;  // NAME=value entries added to ours; the last one wins
  std::string stdoutPath;        // empty: captured
};

// Starts the program; its output goes to files in `scratch`, or with a
// `terminal` it leads a session there, its three streams on it.
pid_t Start(const Launch& launch, const std::string& scratch, const char* terminal = nullptr);
// Waits for a started program and reads what it printed.
Outcome Finish(pid_t pid, const std::string& scratch);
Outcome RunProgram(const Launch& launch);
inline Outcome Run(const Launch& launch) { return RunProgram(launch); }  // TEMP

}  // namespace testutil

#endif  // PRCLIENT_TEST_PROCESS_H_
