// The request file: 132 bytes of fixed-width text fields, each followed by a
// NUL, in the layout the controller reads.
#include <algorithm>
#include <cstring>

#include "prclient.h"

namespace prclient {
namespace {

// A name field: left-justified, blank-padded, cut to kMaxNameLength characters.
void PutName(std::string& image, std::size_t offset, const char* name) {
  std::size_t len = strnlen(name, kNameSize);
  image.replace(offset, kNameSize, std::string(name, len) +
                                       std::string(kNameSize - len, ' '));
}

}  // namespace

std::string RequestImage(const RequestRecord& rec) {
  std::string image(kRequestSize, '\0');
  PutName(image, kControlAt, rec.controlName);
  PutName(image, kReplyAt, rec.replyName);
  PutName(image, kRequestAt, rec.requestName);

  char count[kCountField + 1];
  std::snprintf(count, sizeof count, "%-6d", rec.wordCount);
  image.replace(kCountAt, kCountField, count, kCountField);

  std::string line = rec.words[0] ? rec.words[0] : "";
  const int words = std::min(rec.wordCount, kMaxWords);
  for (int i = 1; i < words; ++i) {
    line += ' ';
    line += rec.words[i] ? rec.words[i] : "";
  }
  line.resize(kLineField, ' ');
  image.replace(kLineAt, kLineField, line);
  return image;
}

int putparams(const RequestRecord& rec, FilePtr stream) {
  const std::string image = RequestImage(rec);
  std::FILE* f = stream.release();
  bool ok = std::fseek(f, 0, SEEK_SET) == 0 &&
            std::fwrite(image.data(), image.size(), 1, f) == 1;
  ok = (std::fclose(f) == 0) && ok;
  return ok ? 0 : -1;
}

}  // namespace prclient
