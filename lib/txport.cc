// File transport to and from the controller's request directory: plain
// copies when the controller is this host, otherwise rcp and rsh, or scp and
// ssh in a library built for ssh. Each command runs without a shell; every
// inserted string is one word of it.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "prclient.h"

namespace prclient {
namespace {

// Whether `host` is this host's name, exactly as configured.
bool LocalHost(const char* host) {
  static char local[256] = "";
  if (local[0] == '\0') {
    if (gethostname(local, sizeof local) != 0) {
      local[0] = '\0';
      return false;
    }
    local[sizeof local - 1] = '\0';
  }
  return std::strcmp(host, local) == 0;
}

// Blanks around a configured value were never part of the word a shell
// would have made of it.
std::string Word(const char* s) {
  std::string_view v = s ? s : "";
  const char* blanks = " \t\n";
  std::size_t first = v.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return std::string(v.substr(first, v.find_last_not_of(blanks) - first + 1));
}

// A word that a command would read as an option.
bool Dashed(const std::string& word) { return !word.empty() && word[0] == '-'; }

// rcp treats a target whose host part is not a plain name as a local path
// and hands it to a shell of its own; ssh and scp would read a leading "-"
// as an option and an "@" or ":" as more than a host.
bool PlainHost(const std::string& host) {
  return !host.empty() && host[0] != '-' &&
         std::all_of(host.begin(), host.end(), [](unsigned char c) {
           return std::isalnum(c) || c == '.' || c == '-' || c == '_';
         });
}

// rcp and rsh hand the remote path to the remote user's shell, which would
// interpret anything beyond these characters. So do ssh, which joins its
// command's words into one line for that shell, and scp in its old protocol
// (scp -O, or an scp older than OpenSSH 9); only the SFTP mode takes a path
// literally, and the library cannot tell which one a site's scp uses.
bool ShellSafe(const std::string& path) {
  return !path.empty() && path.find_first_not_of(
                              "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                              "0123456789/._-+,:@%=") == std::string::npos;
}

// The controller's side of a transfer: its host (empty for this host) and
// the path there.
struct Remote {
  std::string host;
  std::string path;
};

std::optional<Remote> Locate(const char* host, const char* dir, const char* file) {
  Remote r;
  r.path = Word(dir) + Word(file);
  if (r.path.empty() || Dashed(r.path)) return std::nullopt;
  if (LocalHost(host ? host : "")) return r;
  r.host = Word(host);
  if (!PlainHost(r.host) || !ShellSafe(r.path)) return std::nullopt;
  return r;
}

bool OverSsh() { return remoteTransport == RemoteTransport::kSsh; }

// A local path for the command line.
std::optional<std::string> LocalWord(const char* path) {
  std::string w = Word(path);
  if (w.empty() || Dashed(w)) return std::nullopt;
  return w;
}

}  // namespace

std::optional<Command> TransportToCommand(const char* host, const char* dir,
                                          const char* file,
                                          const char* localPath) {
  std::optional<Remote> r = Locate(host, dir, file);
  std::optional<std::string> local = LocalWord(localPath);
  if (!r || !local) return std::nullopt;
  Command cmd;
  cmd.discardStdout = true;
  if (r->host.empty()) {
    cmd.argv = {"/usr/bin/cp", *local, r->path};
    cmd.umask = 022;
  } else if (OverSsh()) {
    // scp runs without -q: its progress meter only ever goes to a
    // terminal, and standard output is discarded here, so all -q would take
    // away are ssh's own reasons ("Host key verification failed",
    // "Permission denied"), which are what a user needs to see when a copy
    // fails. Options such as BatchMode and connection sharing are the
    // site's, in its ssh configuration.
    cmd.argv = {"scp", "--", *local, r->host + ":" + r->path};
  } else {
    cmd.argv = {"rcp", *local, r->host + ":" + r->path};
  }
  return cmd;
}

std::optional<Command> TransportFromCommand(const char* host, const char* dir,
                                            const char* file,
                                            const char* localPath) {
  std::optional<Remote> r = Locate(host, dir, file);
  std::optional<std::string> local = LocalWord(localPath);
  if (!r || !local) return std::nullopt;
  Command cmd;
  cmd.discardStdout = cmd.discardStderr = true;
  // The reply name is in a directory other users may write: cp would
  // follow a link planted there to any file the client can read, or wait
  // on a FIFO. It copies what is opened here, a regular file, instead.
  if (r->host.empty()) {
    cmd.argv = {"cp", "/dev/stdin", *local};
    cmd.input = r->path;
  } else if (OverSsh()) {
    cmd.argv = {"scp", "--", r->host + ":" + r->path, *local};
  } else {
    cmd.argv = {"rcp", r->host + ":" + r->path, *local};
  }
  return cmd;
}

std::optional<Command> RemoveRemoteFileCommand(const char* host,
                                               const char* dir,
                                               const char* file) {
  std::optional<Remote> r = Locate(host, dir, file);
  if (!r) return std::nullopt;
  Command cmd;
  cmd.discardStderr = true;
  // ssh -n: ssh would otherwise read the client's standard input, whatever
  // the user typed ahead. The remote shell sees the path, which is why it
  // holds only characters that shell takes literally; "--" keeps rm from
  // reading it as an option even so.
  if (r->host.empty()) cmd.argv = {"/usr/bin/rm", "-f", r->path};
  else if (OverSsh()) cmd.argv = {"ssh", "-n", "--", r->host, "/usr/bin/rm", "-f", "--", r->path};
  else cmd.argv = {"rsh", r->host, "/usr/bin/rm", "-f", r->path};
  return cmd;
}

int TransportTo(const char* host, const char* dir, const char* file,
                const char* localPath, int /*flag*/) {
  std::optional<Command> cmd = TransportToCommand(host, dir, file, localPath);
  return cmd ? RunCommand(*cmd) : -1;
}

int TransportFrom(const char* host, const char* dir, const char* file,
                  const char* localPath, int /*flag*/) {
  ::unlink(localPath);
  std::optional<Command> cmd = TransportFromCommand(host, dir, file, localPath);
  if (!cmd || RunCommand(*cmd) != 0) return -1;
  return ::access(localPath, R_OK) == 0 ? 0 : -1;
}

int RemoveRemoteFile(const char* host, const char* dir, const char* file) {
  if (std::optional<Command> cmd = RemoveRemoteFileCommand(host, dir, file))
    RunCommand(*cmd);
  return 0;
}

}  // namespace prclient
