#include "cli.h"

#include <cmath>
#include <cstdlib>

namespace prcontroller {
namespace {

// Seconds as a decimal number ("2", "0.25"); a day at most, which is more
// than any wait here needs and keeps the arithmetic far from overflow.
bool ParseSeconds(const std::string& text, double* seconds) {
  if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos)
    return false;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !std::isfinite(value) || value > 86400) return false;
  *seconds = value;
  return true;
}

}  // namespace

const char* UsageText() {
  return "Usage: prcontroller --dir DIR [--state FILE | --cups [SERVER]]\n"
         "                    [--grace SECONDS]\n"
         "                    [--reply-age SECONDS] [--once] [--poll]\n"
         "                    [--poll-interval SECONDS] [--quiet]\n"
         "Answers prwatch and prbay requests dropped in DIR.\n"
         "  --dir DIR                request directory (required)\n"
         "  --state FILE             spool state file (default: an empty spool)\n"
         "  --cups [SERVER]          list what a CUPS scheduler holds instead: SERVER\n"
         "                           is HOST[:PORT] or a socket path (default: the\n"
         "                           system's scheduler)\n"
         "  --grace SECONDS          give up on an incomplete request after this\n"
         "                           long unchanged (default 2)\n"
         "  --reply-age SECONDS      remove replies this old (default 600)\n"
         "  --once                   answer what is complete in DIR, then exit\n"
         "  --poll                   scan DIR instead of using inotify\n"
         "  --poll-interval SECONDS  time between scans when polling (default 0.1)\n"
         "  --quiet                  log only problems, not every answer\n"
         "  --help                   this text\n";
}

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine cl;
  Settings& s = cl.settings;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string option = args[i];
    std::string value;
    bool has_value = false;
    if (const std::size_t eq = option.find('='); option.rfind("--", 0) == 0 &&
                                                 eq != std::string::npos) {
      value = option.substr(eq + 1);
      option.resize(eq);
      has_value = true;
    }
    auto take = [&](std::string* out) {
      if (!has_value) {
        if (i + 1 == args.size()) {
          cl.error = option + " needs a value";
          return false;
        }
        value = args[++i];
      }
      *out = value;
      return true;
    };
    auto take_seconds = [&](double* out) {
      std::string text;
      if (!take(&text)) return false;
      if (!ParseSeconds(text, out)) {
        cl.error = option + ": \"" + text + "\" is not a number of seconds";
        return false;
      }
      return true;
    };
    auto flag = [&](bool* out) {
      if (has_value) {
        cl.error = option + " takes no value";
        return false;
      }
      *out = true;
      return true;
    };

    bool ok;
    if (option == "--dir" || option == "-d") ok = take(&s.dir);
    else if (option == "--state" || option == "-s") ok = take(&s.state_path);
    else if (option == "--cups") {
      // SERVER is optional: a following word that is not an option is it.
      if (!has_value && i + 1 < args.size() && args[i + 1].rfind('-', 0) != 0)
        value = args[++i];
      s.cups = value;
      ok = true;
    }
    else if (option == "--grace") ok = take_seconds(&s.grace_s);
    else if (option == "--reply-age") ok = take_seconds(&s.reply_age_s);
    else if (option == "--poll-interval") ok = take_seconds(&s.poll_interval_s);
    else if (option == "--once") ok = flag(&s.once);
    else if (option == "--poll") ok = flag(&s.poll);
    else if (option == "--quiet" || option == "-q") ok = flag(&s.quiet);
    else if (option == "--help" || option == "-h") ok = flag(&cl.help);
    else {
      cl.error = "unknown option " + option;
      ok = false;
    }
    if (!ok) return cl;
  }
  if (!cl.help && s.dir.empty()) cl.error = "--dir is required";
  else if (s.cups && !s.state_path.empty()) cl.error = "give --state or --cups, not both";
  else if (s.poll_interval_s < 0.001) cl.error = "--poll-interval must be at least 0.001";
  return cl;
}

}  // namespace prcontroller
