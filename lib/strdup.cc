// The library's own string duplicator. ForwardCall releases the copies it
// makes with std::free, so they are plain malloc'ed ones.
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
