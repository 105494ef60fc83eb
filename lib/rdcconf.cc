// Reads the three configuration values. A value is the line's own text up
// to the first NUL the splitter wrote, so leading blanks or an opening quote
// stay part of it; the second and third lines are taken as they come.
#include <cstring>

#include "prclient.h"

namespace prclient {
namespace {

constexpr int kLineSize = 128;

// Copies the line's text up to its first NUL; refuses what does not fit,
// since a cut host name would reach the wrong host.
bool CopyValue(const char* line, char* out, std::size_t size) {
  std::size_t len = std::strlen(line);
  if (len >= size) return false;
  std::memcpy(out, line, len + 1);
  return true;
}

}  // namespace

int ReadConf(char (&serverName)[kHostSize], char (&printDir)[kPathSize],
             char (&statDir)[kPathSize]) {
  FilePtr file(std::fopen(Qconffile, "r"));
  if (!file) return -1;

  serverName[0] = printDir[0] = statDir[0] = '\0';

  char line[kLineSize];
  char** fields = nullptr;
  int total = 0;
  for (;;) {
    if (!std::fgets(line, sizeof line, file.get())) return -1;
    total = Parse(line, &fields);
    if (total > 0) break;
  }
  if (!CopyValue(line, serverName, sizeof serverName)) return -1;

  for (char* value : {printDir, statDir}) {
    if (!std::fgets(line, sizeof line, file.get())) return -1;
    total += Parse(line, &fields);
    if (!CopyValue(line, value, kPathSize)) return -1;
  }

  if (total != 3) return -1;
  for (const char* value : {serverName, printDir, statDir})
    if (value[0] == '#') return -1;
  return 0;
}

}  // namespace prclient
