// The configuration line splitter. It writes NULs into the line and hands
// back pointers into it, so callers can keep the line's own text around a
// field (the configuration reader relies on that).
#include "prclient.h"

namespace prclient {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

char* SkipBlanks(char* p) {
  while (IsBlank(*p)) ++p;
  return p;
}

}  // namespace

int Parse(char* line, char*** fields) {
  static char* slots[kMaxFields];
  int count = 0;
  char* p = line;

  while (*p != '\0') {
    p = SkipBlanks(p);
    if (*p == '#' || *p == '\n') break;
    slots[count++] = p;
    if (count == kMaxFields) return -1;

    if (*p == '"') {
      slots[count - 1] = ++p;
      while (*p != '\0' && *p != '"' && *p != '\n') ++p;
      // An unclosed quote ends the field, and the line, at the end of the text.
      if (*p == '\0') break;
      *p++ = '\0';
      p = SkipBlanks(p);
      if (*p == ',') ++p;
    } else {
      if (*p != ',') {
        while (*p != '\0' && !IsBlank(*p) && *p != ',' && *p != '\n') ++p;
      }
      if (*p != '\0') *p++ = '\0';
    }
  }
  slots[count] = nullptr;
  *fields = slots;
  return count;
}

}  // namespace prclient
