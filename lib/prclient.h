// The print controller client library: configuration, spool names, the
// request file, file transport and the file-based remote call that the
// prwatch and prbay programs are built on.
//
// Nothing here prints and no exception leaves it: every operation reports
// through its result.
#ifndef PRCLIENT_H_
#define PRCLIENT_H_

#include <cstddef>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace prclient {

// ---- Sizes of the text buffers the system exchanges ----------------------

constexpr std::size_t kHostSize = 32;    // controller host name + NUL
constexpr std::size_t kPathSize = 134;   // directories and composed paths
constexpr std::size_t kNameSize = 14;    // spool file names + NUL
// The largest reply a client keeps (64 MiB), far beyond any listing: a copy
// command may write no larger file.
constexpr std::size_t kMaxReply = std::size_t{64} << 20;

// ---- The request file's layout --------------------------------------------
// Every size, place and name form the client writes and the controller
// reads, from here alone.

constexpr std::size_t kMaxNameLength = kNameSize - 1;  // a name without its NUL
constexpr int kMaxArgs = 14;                           // arguments one request carries
constexpr int kMaxWords = kMaxArgs + 1;                // the request name, then the arguments

// A request file's own name: kControlPrefix, by which the controller tells
// request files from anything else in its directory, then the characters
// MakeControl puts in place of the "X"s.
constexpr std::string_view kControlTemplate = "sprXXXXXX";
constexpr std::string_view kControlPrefix =
    kControlTemplate.substr(0, kControlTemplate.find('X'));

// Where the request file's fields stand, each closed by a NUL: three names
// in fields as wide as a name buffer, the word count, the command line. The
// client cuts the command line at the width of its field.
constexpr std::size_t kNameField = kNameSize;
constexpr std::size_t kControlAt = 0;
constexpr std::size_t kReplyAt = kControlAt + kNameField + 1;
constexpr std::size_t kRequestAt = kReplyAt + kNameField + 1;
constexpr std::size_t kCountAt = kRequestAt + kNameField + 1;
constexpr std::size_t kCountField = 6;
constexpr std::size_t kLineAt = kCountAt + kCountField + 1;
constexpr std::size_t kLineField = 79;
constexpr std::size_t kRequestSize = kLineAt + kLineField + 1;
// Controllers already running read exactly this many bytes.
static_assert(kRequestSize == 132);

// ---- Settings (client) ---------------------------------------------------

extern const char* Qconffile;  // configuration file
extern const char* Tmpqdir;    // local scratch directory, ends in "/"
extern int netwait;            // seconds before the first poll and between polls
extern int ntrys;              // polls for a reply before giving up
extern int copyLimit;          // seconds a copy command may run before it is ended

// How a controller on another host is reached, fixed when the library is
// built: rcp and rsh, or scp and ssh.
enum class RemoteTransport { kRsh, kSsh };
extern const RemoteTransport remoteTransport;

// ---- Configuration (parse, rdcconf) -------------------------------------

constexpr int kMaxFields = 20;

// Splits `line` in place into blank- or comma-separated fields, honouring
// double quotes and stopping at "#" or a newline. Returns the number of
// fields (at most 19) and points *fields at a static, null-terminated array
// that the next call reuses; returns -1 for 20 or more fields, leaving
// *fields as it was.
int Parse(char* line, char*** fields);

// Reads the controller's host name, the print directory and the request
// directory from Qconffile. 0 on success, -1 when the file cannot be opened
// (buffers untouched) or its values are not valid.
int ReadConf(char (&serverName)[kHostSize], char (&printDir)[kPathSize],
             char (&statDir)[kPathSize]);

// ---- Spool names and paths (unique, path, sleep, strdup) -----------------

struct FileCloser {
  void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Creates a new request file in `dir` (null or empty: the working
// directory) from `templ`, which ends in six "X" and is rewritten in place;
// the file name lands in `name`. The file is created exclusively, never
// through a link, mode 0644 less the umask. Null on failure.
FilePtr MakeControl(const char* dir, char* templ, char (&name)[kNameSize]);

// Creates a new data file "%x.%03x" (pid, counter) in `dir`, exclusively,
// mode 0777 less the umask, open for writing. Null on failure.
FilePtr MakeData(const char* dir, char (&name)[kNameSize]);

// Writes the next data file name into `name`; creates nothing. 0, or -1
// (with `name` empty) once the counter has grown past what a name holds.
int MakeDataName(char (&name)[kNameSize]);

// Writes this process's next reply name, at most n-1 characters, into
// `buf` (n bytes): the composition of UniqueName with random digits in
// place of the host name and a randomly seeded counter. Returns 0.
int MakeUnique(char* buf, int n);

// The reply name composed from its parts and kept to at most n-1
// characters: the pure core of MakeUnique, open to tests.
std::string UniqueName(unsigned long pid, unsigned long seconds,
                       unsigned millis, std::string_view host,
                       unsigned long counter, int n);

// Creates a directory of one call's own (mode 0700) in `dir`, refused like
// MakeControl's files when `dir` is not safe to use. Its path, or empty.
std::string MakeCallDir(const char* dir);

// `name` in `dir` (null or empty: the name alone), one "/" between them.
std::string MakePath(const char* dir, std::string_view name);
// The last component of `path` (a view into it).
std::string_view SimplePath(std::string_view path);
// The directory part of `path`.
std::string DirPath(std::string_view path);
// Changes the working directory; 0, or -1 on failure or a too-long name.
int SetDir(const char* dir);
// The working directory into `buf` of `size` bytes; 0, or -1.
int GetDir(char* buf, std::size_t size);

// Sleeps `seconds` (a negative count does not wait). During a remote call an
// interrupting signal cuts the sleep short.
void Delay(int seconds);

// A malloc'ed copy of `s` (free it with std::free), or null.
char* strdup(const char* s);

// ---- Request file (putparams) -------------------------------------------

struct RequestRecord {
  char controlName[kNameSize] = {};
  char replyName[kNameSize] = {};
  char requestName[kNameSize] = {};
  int wordCount = 0;
  const char* words[kMaxWords] = {};  // [0] the request name, then quoted args
};

// Lays `rec` out as the request image, kRequestSize bytes.
std::string RequestImage(const RequestRecord& rec);

// Writes the request image at the start of `stream` and closes it.
// 0 on success, -1 on failure.
int putparams(const RequestRecord& rec, FilePtr stream);

// ---- File transport (spawn, txport) --------------------------------------

// A command run directly, without a shell, with the standard streams that
// the transport discards.
struct Command {
  std::vector<std::string> argv;
  bool discardStdout = false;
  bool discardStderr = false;
  // Standard input from this file, which must be a regular file reached
  // without following a link under its own name; otherwise the command
  // does not run and fails. Empty: the caller's.
  std::string input{};
  // The file mode creation mask the command runs under; -1: the caller's.
  int umask = -1;
};

// The command as a shell line would read, with its redirections: what the
// command is equivalent to, for logs and tests.
std::string CommandText(const Command& cmd);

// Runs `cmd` in the caller's process group and waits for it. 0 when it
// exited with status 0; -1 when it could not start (the reason, as a shell
// gives it, goes where the command's standard error would have gone),
// failed or died of a signal, ran longer than copyLimit seconds, or an
// interrupting signal arrived while it ran. In the last two cases the
// command and whatever it started are ended: SIGTERM, then SIGKILL after a
// grace time. No file it writes grows beyond kMaxReply.
int RunCommand(const Command& cmd);

// The commands of the three transport operations; nullopt when a host or a
// path cannot be passed safely (a remote host that is not a plain host
// name, a word that would be read as an option, a remote path holding
// characters the remote shell would interpret).
std::optional<Command> TransportToCommand(const char* host, const char* dir,
                                          const char* file,
                                          const char* localPath);
std::optional<Command> TransportFromCommand(const char* host, const char* dir,
                                            const char* file,
                                            const char* localPath);
std::optional<Command> RemoveRemoteFileCommand(const char* host,
                                               const char* dir,
                                               const char* file);

// Copies `localPath` to dir+file on `host`. 0 on success, -1 otherwise.
int TransportTo(const char* host, const char* dir, const char* file,
                const char* localPath, int flag);
// Copies dir+file on `host` to `localPath`; 0 when a readable copy is there.
int TransportFrom(const char* host, const char* dir, const char* file,
                  const char* localPath, int flag);
// Removes dir+file on `host`. Always 0.
int RemoveRemoteFile(const char* host, const char* dir, const char* file);

// ---- Remote call (trpc) --------------------------------------------------

enum TrpcResult : int {
  kTrpcOk = 0,
  kTrpcNoReply = 1,
  kTrpcUnreachable = 2,
  kTrpcSystemError = 4,
};

// Sends `requestName` with its arguments to the controller `host`, waits for
// the reply in `dir`, relays the reply's text to standard output and sets
// *status from its first line. Returns a TrpcResult. A signal that would
// end the process (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM,
// SIGPIPE and the like) during the call removes what it made and ends the
// process by that signal; one the process ignored when the call began changes
// nothing. While it waits, a terminal on standard error shows a wait line.
int TRPC(const char* host, const char* dir, const char* requestName, int argc,
         const char* const* argv, int* status);

// TRPC with malloc'ed copies of the arguments argv[keep[1]], argv[keep[2]],
// ... (keep[0] names the program and is not sent), released afterwards. A
// copy that cannot be had gives kTrpcSystemError.
int ForwardCall(const char* host, const char* dir, const char* requestName,
                const char* const* argv, const std::vector<int>& keep, int* status);

// What a client says for a result of TRPC, or null for kTrpcOk.
const char* TrpcMessage(int result);

// The status line's number: optional white space and sign, then digits up
// to the first non-digit; none gives 0; clamped to the range of int.
int ParseStatus(std::string_view line);

}  // namespace prclient

#endif  // PRCLIENT_H_
