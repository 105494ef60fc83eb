// prbay: asks the printer controller for a listing of printer queues.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "bay_args.h"
#include "prclient.h"

namespace {

char serverName[prclient::kHostSize];
char printDir[prclient::kPathSize];
char statDir[prclient::kPathSize];

constexpr char kUsage[] =
    "Usage: prbay [-p|P <queue name>] [-\\?] [-l|L] [-server <printerControllerName>]";

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
  std::printf("prbay: illegal option \n");
  Fatal("%s", kUsage);
}

}  // namespace

int main(int argc, char** argv) {
  std::set_new_handler([] { Fatal("System error"); });
  if (prclient::ReadConf(serverName, printDir, statDir) == -1)
    Fatal("Error opening configuration file: %s", prclient::Qconffile);

  const int k = prbay::ScanOption(argc, argv);
  int status = 0;
  int result;
  if (k < 0) {
    result = prclient::TRPC(serverName, statDir, "prbay", argc - 1, argv + 1, &status);
  } else {
    if (k == argc - 1 || argv[k + 1][0] == '-') IllegalOption();
    // A cut name would reach the wrong host.
    if (std::strlen(argv[k + 1]) >= sizeof serverName) IllegalOption();
    // NOLINTNEXTLINE(clang-analyzer-security.insecureAPI.strcpy): length checked above
    std::strcpy(serverName, argv[k + 1]);

    result = prclient::ForwardCall(serverName, statDir, "prbay", argv,
                                   prbay::ForwardedIndices(argc, k), &status);
  }

  if (const char* message = prclient::TrpcMessage(result)) Fatal("%s", message);
  std::exit(status);
}
