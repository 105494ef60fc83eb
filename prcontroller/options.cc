#include "options.h"

#include <functional>
#include <string_view>

#include "escape.h"

namespace prcontroller {
namespace {

struct OptionLetters {
  std::string_view flags;   // letters that take no value
  std::string_view valued;  // letters that take one, and what it is:
  const char* const* value_names;
};

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string OptionText(char letter) { return Quoted(std::string("-") + letter); }

using Handler = std::function<std::string(char letter, const std::string* value)>;

// Walks the words getopt-style, handing each option to `handle`; stops at
// the first misuse, or at "-?" so help is given whatever follows.
std::string WalkOptions(const std::vector<std::string>& args,
                        const OptionLetters& letters, const Handler& handle) {
  for (std::size_t w = 0; w < args.size(); ++w) {
    const std::string& word = args[w];
    if (word.size() < 2 || word[0] != '-')
      return "unexpected argument " + Quoted(word) + "; options start with \"-\"";
    for (std::size_t i = 1; i < word.size(); ++i) {
      const char letter = Lower(word[i]);
      if (letter == '?' || letters.flags.find(letter) != std::string_view::npos) {
        if (std::string error = handle(letter, nullptr); !error.empty()) return error;
        if (letter == '?') return "";
        continue;
      }
      const std::size_t valued_at = letters.valued.find(letter);
      if (valued_at == std::string_view::npos) {
        std::string error = "unknown option " + OptionText(word[i]);
        if (word.size() > 2) error += " in " + Quoted(word);
        return error + "; -? lists the options";
      }
      std::string value;
      if (i + 1 < word.size()) {
        value = word.substr(i + 1);
      } else if (w + 1 < args.size()) {
        value = args[++w];
      } else {
        return "option " + OptionText(word[i]) + " needs a " +
               letters.value_names[valued_at];
      }
      if (std::string error = handle(letter, &value); !error.empty()) return error;
      break;  // the value took the rest of the word
    }
  }
  return "";
}

std::optional<std::size_t> ParseNumber(std::string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  std::size_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::size_t>(c - '0');
  }
  return value;
}

constexpr const char* kJobValueNames[] = {"job age",   "job ident",
                                          "job name",  "number",
                                          "printer queue name", "status"};
constexpr const char* kQueueValueNames[] = {"queue name"};

}  // namespace

std::optional<long long> ParseAge(std::string_view text) {
  long long unit = 60;
  if (!text.empty()) {
    switch (Lower(text.back())) {
      case 's': unit = 1; break;
      case 'm': unit = 60; break;
      case 'h': unit = 3600; break;
      case 'd': unit = 86400; break;
      default: unit = 0; break;
    }
    if (unit != 0) text.remove_suffix(1);
    else unit = 60;
  }
  const auto count = ParseNumber(text);
  if (!count) return std::nullopt;
  return static_cast<long long>(*count) * unit;
}

std::string ParseJobOptions(const std::vector<std::string>& args,
                            JobQuery* query) {
  const OptionLetters letters{"elv", "aijnps", kJobValueNames};
  auto handle = [&](char letter, const std::string* value) -> std::string {
    switch (letter) {
      case '?': query->help = true; return "";
      case 'e': query->errors_only = true; return "";
      case 'l': query->long_format = true; return "";
      case 'v': query->verbose = true; return "";
      case 'i': query->ident = *value; return "";
      case 'j': query->name = *value; return "";
      case 'p': query->queue = *value; return "";
      case 'a':
        query->min_age = ParseAge(*value);
        query->age_text = *value;
        if (!query->min_age)
          return "bad job age " + Quoted(*value) +
                 ": give minutes, or a number with s, m, h or d (90, 2h)";
        return "";
      case 'n':
        query->limit = ParseNumber(*value);
        if (!query->limit || *query->limit == 0)
          return "bad number " + Quoted(*value) +
                 ": give how many jobs to show, 1 or more";
        return "";
      case 's':
        query->status = JobStatusNamed(*value);
        query->status_text = *value;
        if (!query->status)
          return "unknown status " + Quoted(*value) +
                 ": use queued, printing, held, error or done";
        return "";
    }
    return "";
  };
  return WalkOptions(args, letters, handle);
}

std::string ParseQueueOptions(const std::vector<std::string>& args,
                              QueueQuery* query) {
  const OptionLetters letters{"l", "p", kQueueValueNames};
  auto handle = [&](char letter, const std::string* value) -> std::string {
    switch (letter) {
      case '?': query->help = true; return "";
      case 'l': query->long_format = true; return "";
      case 'p': query->queue = *value; return "";
    }
    return "";
  };
  return WalkOptions(args, letters, handle);
}

}  // namespace prcontroller
