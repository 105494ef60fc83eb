// prwatch: asks the printer controller for a listing of print jobs.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "watch_args.h"
#include "prclient.h"

namespace {

char serverName[prclient::kHostSize];
char printDir[prclient::kPathSize];
char statDir[prclient::kPathSize];

constexpr char kUsage[] =
    "Usage: prwatch [-\\?] [-e|E] [-l|L] [-v|V] [-a|A<age>] [-i|I<job ident>] "
    "[-j|J<job name>] [-n|N<number>] [-p|P<printer queue name>] [-s|S<status>] "
    "[-server <printerControllerName>]";

[[noreturn]] __attribute__((format(printf, 1, 2))) void Fatal(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::exit(-1);
}

[[noreturn]] void IllegalOption() {
  std::printf("prwatch: illegal option \n");
  Fatal("%s", kUsage);
}

void CheckArgMissing(int i, int argc) {
  if (i == argc - 1) IllegalOption();
}

void CheckArgDashed(char first) {
  if (first == '-') IllegalOption();
}

// Tests an option's value and hands it back.
const char* OptionValue(int i, int argc, char** argv) {
  CheckArgMissing(i, argc);
  CheckArgDashed(argv[i + 1][0]);
  return argv[i + 1];
}

}  // namespace

int main(int argc, char** argv) {
  std::set_new_handler([] { Fatal("System error"); });
  if (prclient::ReadConf(serverName, printDir, statDir) == -1)
    Fatal("Error opening configuration file: %s", prclient::Qconffile);

  const prwatch::LocalOptions opts = prwatch::ScanOptions(argc, argv);
  int status = 0;
  int result;
  if (!opts.any()) {
    result = prclient::TRPC(serverName, statDir, "prwatch", argc - 1, argv + 1, &status);
  } else {
    if (opts.server >= 0) {
      const char* host = OptionValue(opts.server, argc, argv);
      // A cut name would reach the wrong host.
      if (std::strlen(host) >= sizeof serverName) IllegalOption();
      // NOLINTNEXTLINE(clang-analyzer-security.insecureAPI.strcpy): length checked above
      std::strcpy(serverName, host);
    }
    if (opts.tries >= 0) prwatch::ReadNumber(OptionValue(opts.tries, argc, argv), &prclient::ntrys);
    if (opts.wait >= 0) prwatch::ReadNumber(OptionValue(opts.wait, argc, argv), &prclient::netwait);

    result = prclient::ForwardCall(serverName, statDir, "prwatch", argv,
                                   prwatch::ForwardedIndices(argc, opts), &status);
  }

  if (const char* message = prclient::TrpcMessage(result)) Fatal("%s", message);
  std::exit(status);
}
