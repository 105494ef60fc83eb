// The library's own string duplicator: the programs release nothing they
// copy, so a plain malloc'ed copy is all they need.
#include <cstdlib>
#include <cstring>

#include "prclient.h"

namespace prclient {

char* strdup(const char* s) {
  std::size_t size = std::strlen(s) + 1;
  char* copy = static_cast<char*>(std::malloc(size));
  if (copy != nullptr) std::memcpy(copy, s, size);
  return copy;
}

}  // namespace prclient
