#include "cli.h"

#include <getopt.h>

#include <charconv>
#include <cstdint>
#include <optional>
#include <system_error>

#include "number.h"

namespace prcontroller {
namespace {

// Seconds as a decimal number ("2", "0.25"); a day at most, which is more
// than any wait here needs and keeps the arithmetic far from overflow.
bool ParseSeconds(const std::string& text, double* seconds) {
  if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos)
    return false;
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value > 86400) return false;
  *seconds = value;
  return true;
}

enum LongOnly {
  kGrace = 256, kReplyAge, kPollInterval, kOnce, kPoll, kVersion, kCups, kReplyQuota, kReplyTotal,
  kCupsIdle, kCupsLimit
};

constexpr option kOptions[] = {
    {"dir", required_argument, nullptr, 'd'},
    {"state", required_argument, nullptr, 's'},
    {"cups", optional_argument, nullptr, kCups},
    {"cups-idle", required_argument, nullptr, kCupsIdle},
    {"cups-limit", required_argument, nullptr, kCupsLimit},
    {"grace", required_argument, nullptr, kGrace},
    {"reply-age", required_argument, nullptr, kReplyAge},
    {"reply-quota", required_argument, nullptr, kReplyQuota},
    {"reply-total", required_argument, nullptr, kReplyTotal},
    {"poll-interval", required_argument, nullptr, kPollInterval},
    {"once", no_argument, nullptr, kOnce},
    {"poll", no_argument, nullptr, kPoll},
    {"quiet", no_argument, nullptr, 'q'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0}};

std::string LongName(int code) {
  for (const option& o : kOptions)
    if (o.name && o.val == code) return std::string("--") + o.name;
  return "?";
}

// A size in MiB for the option `code`, kept in bytes.
bool TakeMib(int code, const std::string& value, std::uint64_t* bytes, std::string* err) {
  const std::optional<long long> mib =
      prclient::ParseInteger(value, prclient::NumberForm::kWhole, 1, 1 << 20);
  if (!mib) {
    *err = LongName(code) + ": \"" + value + "\" is not a number of MiB from 1 to 1048576";
    return false;
  }
  *bytes = static_cast<std::uint64_t>(*mib) << 20;
  return true;
}

// A time in seconds for the option `code`.
bool TakeSeconds(int code, const std::string& value, double* seconds, std::string* err) {
  if (!ParseSeconds(value, seconds)) {
    *err = LongName(code) + ": \"" + value + "\" is not a number of seconds";
    return false;
  }
  return true;
}

// What the word getopt_long refused with `code` lacks or is.
std::string Refused(int code, char* const* argv) {
  const char* word = argv[optind - 1];
  if (code == ':')
    // Named as it was given: long, or a letter perhaps among others.
    return (word[1] == '-' ? LongName(optopt)
                           : "-" + std::string(1, static_cast<char>(optopt))) +
           " needs a value";
  if (optopt > 0 && optopt < 256 && word[1] != '-')
    return "unknown option -" + std::string(1, static_cast<char>(optopt));
  if (optopt != 0)  // a long flag given a value
    return LongName(optopt) + " takes no value";
  return std::string("unknown or ambiguous option ") + word;
}

// Takes the option getopt_long returned as `code` into *cl.
bool TakeOption(int code, int argc, char* const* argv, CommandLine* cl, std::string* err) {
  Settings& s = cl->settings;
  const std::string value = optarg ? optarg : "";
  switch (code) {
    case 'd': s.dir = value; return true;
    case 's': s.state_path = value; return true;
    case 'q': s.quiet = true; return true;
    case 'h': cl->help = true; return true;
    case kOnce: s.once = true; return true;
    case kPoll: s.poll = true; return true;
    case kVersion: cl->version = true; return true;
    case kCups:
      if (!optarg && optind < argc && argv[optind][0] != '-') s.cups = argv[optind++];
      else s.cups = value;
      return true;
    case kReplyQuota: return TakeMib(code, value, &s.reply_quota, err);
    case kReplyTotal: return TakeMib(code, value, &s.reply_total, err);
    case kGrace: return TakeSeconds(code, value, &s.grace_s, err);
    case kReplyAge: return TakeSeconds(code, value, &s.reply_age_s, err);
    case kPollInterval: return TakeSeconds(code, value, &s.poll_interval_s, err);
    case kCupsIdle: return TakeSeconds(code, value, &s.cups_idle_s, err);
    case kCupsLimit: return TakeSeconds(code, value, &s.cups_limit_s, err);
    default:
      *err = Refused(code, argv);
      return false;
  }
}

// The settings as a whole, once every option is read.
bool Validate(const CommandLine& cl, std::string* err) {
  const Settings& s = cl.settings;
  if (cl.help || cl.version) return true;
  if (s.dir.empty()) {
    *err = "--dir is required";
    return false;
  }
  if (s.cups && !s.state_path.empty()) {
    *err = "give --state or --cups, not both";
    return false;
  }
  if (s.cups_idle_s < 0.01 || s.cups_limit_s < 0.01) {
    *err = "--cups-idle and --cups-limit must be at least 0.01";
    return false;
  }
  if (s.poll_interval_s < 0.001) {
    *err = "--poll-interval must be at least 0.001";
    return false;
  }
  return true;
}

}  // namespace

const char* UsageText() {
  return "Usage: prcontroller --dir DIR [--state FILE | --cups [SERVER]] [--grace SECONDS]\n"
         "                    [--cups-idle SECONDS] [--cups-limit SECONDS]\n"
         "                    [--reply-age SECONDS] [--reply-quota MIB]\n"
         "                    [--reply-total MIB] [--once] [--poll]\n"
         "                    [--poll-interval SECONDS] [--quiet]\n"
         "Answers prwatch and prbay requests dropped in DIR.\n"
         "  -d, --dir DIR            request directory (required)\n"
         "  -s, --state FILE         spool state file (default: an empty spool)\n"
         "      --cups [SERVER]      list what a CUPS scheduler holds instead: SERVER\n"
         "                           is HOST[:PORT] or a socket path (default: the\n"
         "                           system's scheduler)\n"
         "      --cups-idle SECONDS  an exchange with the scheduler fails after this\n"
         "                           long without a byte from it (default 1.5)\n"
         "      --cups-limit SECONDS  or when it runs this long (default 30)\n"
         "      --grace SECONDS      give up on an incomplete request after this\n"
         "                           long unchanged (default 2)\n"
         "      --reply-age SECONDS  remove replies this old (default 600)\n"
         "      --reply-quota MIB    space the replies kept for one user may take;\n"
         "                           a request over it is refused (default 64)\n"
         "      --reply-total MIB    the same for all users together (default 512)\n"
         "      --once               answer what is complete in DIR, then exit\n"
         "      --poll               scan DIR instead of using inotify\n"
         "      --poll-interval SECONDS  time between scans when polling (default 0.1)\n"
         "  -q, --quiet              log only problems, not every answer\n"
         "  -h, --help               this text\n"
         "      --version            the version\n"
         "Long options may be abbreviated; SIGHUP re-reads the state file.\n";
}

std::string VersionText() { return std::string("prcontroller ") + PRCLIENT_VERSION; }

bool ParseCommandLine(int argc, char* const* argv, CommandLine* cl, std::string* err) {
  opterr = 0;  // the messages are ours, without the program's path
  optind = 0;  // a fresh scan, should this run twice in one process
  // "+": no permuting, so the word after a bare --cups is still in place to
  // be taken as its SERVER.
  for (int code; (code = ::getopt_long(argc, argv, "+:d:s:qh", kOptions, nullptr)) != -1;)
    if (!TakeOption(code, argc, argv, cl, err)) return false;
  if (optind < argc) {
    *err = std::string("unexpected argument ") + argv[optind];
    return false;
  }
  return Validate(*cl, err);
}

}  // namespace prcontroller
