#include "query.h"

#include <functional>
#include <string_view>

#include "escape.h"
#include "letter_case.h"
#include "number.h"

namespace prcontroller {
namespace {

struct OptionLetters {
  std::string_view flags;   // letters that take no value
  std::string_view valued;  // letters that take one, and what it is:
  const char* const* value_names;
};

std::string OptionText(char letter) { return Quoted(std::string("-") + letter); }

// False when the value is refused, the handler then having set the error.
using Handler = std::function<bool(char letter, const std::string* value)>;

// Walks the words getopt-style, handing each option to `handle`; stops at
// the first misuse, or at "-?" so help is given whatever follows.
bool WalkOptions(const std::vector<std::string>& args, const OptionLetters& letters,
                 const Handler& handle, std::string* err) {
  for (std::size_t w = 0; w < args.size(); ++w) {
    const std::string& word = args[w];
    if (word.size() < 2 || word[0] != '-') {
      *err = "unexpected argument " + Quoted(word) + "; options start with \"-\"";
      return false;
    }
    for (std::size_t i = 1; i < word.size(); ++i) {
      const char letter = Lower(word[i]);
      if (letter == '?' || letters.flags.find(letter) != std::string_view::npos) {
        if (!handle(letter, nullptr)) return false;
        if (letter == '?') return true;
        continue;
      }
      const std::size_t valued_at = letters.valued.find(letter);
      if (valued_at == std::string_view::npos) {
        *err = "unknown option " + OptionText(word[i]);
        if (word.size() > 2) *err += " in " + Quoted(word);
        *err += "; -? lists the options";
        return false;
      }
      std::string value;
      if (i + 1 < word.size()) {
        value = word.substr(i + 1);
      } else if (w + 1 < args.size()) {
        value = args[++w];
      } else {
        *err = "option " + OptionText(word[i]) + " needs a " +
               letters.value_names[valued_at];
        return false;
      }
      if (!handle(letter, &value)) return false;
      break;  // the value took the rest of the word
    }
  }
  return true;
}

// The most jobs -n takes, and the most units -a does: nine digits.
constexpr long long kMaxCount = 999999999;

constexpr const char* kJobValueNames[] = {"job age",   "job ident",
                                          "job name",  "number",
                                          "printer queue name", "status"};
constexpr const char* kQueueValueNames[] = {"queue name"};

}  // namespace

bool ParseJobOptions(const std::vector<std::string>& args, JobQuery* query,
                     std::string* err) {
  const OptionLetters letters{"elv", "aijnps", kJobValueNames};
  // Each misuse is one line saying what to give instead.
  auto refuse = [err](std::string why) {
    *err = std::move(why);
    return false;
  };
  auto handle = [&](char letter, const std::string* value) {
    switch (letter) {
      case '?': query->help = true; return true;
      case 'e': query->errors_only = true; return true;
      case 'l': query->long_format = true; return true;
      case 'v': query->verbose = true; return true;
      case 'i': query->ident = *value; return true;
      case 'j': query->name = *value; return true;
      case 'p': query->queue = *value; return true;
      case 'a':
        // A bare number is minutes; the unit is a letter in either case.
        query->min_age = prclient::ParseDuration(Lower(*value), kMaxCount, 'm',
                                                 &query->age_in_minutes);
        query->age_text = *value;
        if (!query->min_age)
          return refuse("bad job age " + Quoted(*value) +
                        ": give minutes, or a number with s, m, h or d (90, 2h)");
        return true;
      case 'n': {
        const auto n = prclient::ParseInteger(*value, prclient::NumberForm::kWhole, 1, kMaxCount);
        if (!n)
          return refuse("bad number " + Quoted(*value) +
                        ": give how many jobs to show, 1 or more");
        query->limit = static_cast<std::size_t>(*n);
        return true;
      }
      case 's':
        query->status = JobStatusNamed(*value);
        query->status_text = *value;
        if (!query->status)
          return refuse("unknown status " + Quoted(*value) +
                        ": use queued, printing, held, error or done");
        return true;
    }
    return true;
  };
  return WalkOptions(args, letters, handle, err);
}

bool ParseQueueOptions(const std::vector<std::string>& args, QueueQuery* query,
                       std::string* err) {
  const OptionLetters letters{"l", "p", kQueueValueNames};
  auto handle = [&](char letter, const std::string* value) {
    switch (letter) {
      case '?': query->help = true; return true;
      case 'l': query->long_format = true; return true;
      case 'p': query->queue = *value; return true;
    }
    return true;
  };
  return WalkOptions(args, letters, handle, err);
}

}  // namespace prcontroller
