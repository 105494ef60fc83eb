// The configuration splitter and reader on arbitrary bytes. The file is
// writable by whoever installs a site's configuration, and a mistake in it
// must be refused, never read past a buffer or handed on half-cut.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "check.h"
#include "prclient.h"

namespace {

// The reader opens its file by name; a memory file named through /proc
// leaves nothing behind however the run ends.
int confFd = -1;
std::string confName;

void CheckSplit(const std::uint8_t* data, std::size_t size) {
  // Exactly the bytes and a NUL, on the heap, so a read past them is seen.
  std::unique_ptr<char[]> line(new char[size + 1]);
  std::memcpy(line.get(), data, size);
  line[size] = '\0';
  const std::string before(line.get(), size);
  const std::size_t text = std::strlen(line.get());  // what the splitter may see
  const std::string shown = fuzzcheck::Show(before);

  char* untouched[1] = {};
  char** fields = untouched;
  const int count = prclient::Parse(line.get(), &fields);
  FUZZ_CHECK(count == -1 || (count >= 0 && count < prclient::kMaxFields), shown);
  if (count == -1) {
    FUZZ_CHECK(fields == untouched, shown);
    return;
  }
  FUZZ_CHECK(fields[count] == nullptr, shown);

  // The splitter only writes NULs, and only over the text before the first NUL.
  for (std::size_t i = 0; i < size; ++i)
    FUZZ_CHECK(line[i] == before[i] || (line[i] == '\0' && i < text), shown);

  const char* end = line.get() + text;
  const char* previous_end = nullptr;
  for (int k = 0; k < count; ++k) {
    const char* f = fields[k];
    FUZZ_CHECK(f >= line.get() && f <= end, shown);
    const std::size_t len = strnlen(f, static_cast<std::size_t>(end - f) + 1);
    FUZZ_CHECK(f + len <= end, shown);
    // In order, apart, and never across a line end.
    FUZZ_CHECK(previous_end == nullptr || f > previous_end, shown);
    FUZZ_CHECK(std::memchr(f, '\n', len) == nullptr, shown);
    previous_end = f + len;
  }
}

void CheckRead(const std::uint8_t* data, std::size_t size) {
  FUZZ_CHECK(::ftruncate(confFd, 0) == 0, "ftruncate");
  FUZZ_CHECK(::pwrite(confFd, data, size, 0) == static_cast<ssize_t>(size), "pwrite");

  char server[prclient::kHostSize];
  char print[prclient::kPathSize];
  char stat[prclient::kPathSize];
  std::memset(server, 'S', sizeof server);
  std::memset(print, 'P', sizeof print);
  std::memset(stat, 'Q', sizeof stat);
  const int result = prclient::ReadConf(server, print, stat);
  const std::string shown = fuzzcheck::Show({reinterpret_cast<const char*>(data), size});
  FUZZ_CHECK(result == 0 || result == -1, shown);

  // Whatever the outcome, the three are strings that fit their buffers:
  // a caller may print them in its message.
  FUZZ_CHECK(strnlen(server, sizeof server) < sizeof server, shown);
  FUZZ_CHECK(strnlen(print, sizeof print) < sizeof print, shown);
  FUZZ_CHECK(strnlen(stat, sizeof stat) < sizeof stat, shown);
  if (result == 0) {
    for (const char* value : {server, print, stat}) FUZZ_CHECK(value[0] != '#', shown);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  confFd = ::memfd_create("cconf", 0);
  if (confFd < 0) {
    std::perror("memfd_create");
    std::abort();
  }
  confName = "/proc/self/fd/" + std::to_string(confFd);
  prclient::Qconffile = confName.c_str();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CheckSplit(data, size);
  CheckRead(data, size);
  return 0;
}
