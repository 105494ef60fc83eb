#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "prcontroller/cli.h"

namespace prcontroller {
namespace {

// Long options in both forms and abbreviated, --cups with its server in
// the next word or none; a refused command line says why.
TEST(ControllerCommandLine, SettingsOrWhyNot) {
  const struct {
    std::vector<std::string> args;
    std::string error;  // empty: accepted, with the settings that follow
    std::optional<std::string> cups = std::nullopt;
    double idle = 1.5;
    std::uint64_t quotaMib = 64;
  } cases[] = {
      {{"--dir", "d", "--cups", "host:631"}, "", "host:631"},
      {{"--dir=d", "--cups=/run/cups.sock", "--reply-quota", "1048576"}, "", "/run/cups.sock", 1.5, 1 << 20},
      {{"--di", "d", "--cups-i", "0.25", "--cups"}, "", "", 0.25},
      {{"--dir", "d", "--reply-quota", "0"}, "--reply-quota: \"0\" is not a number of MiB from 1 to 1048576"},
      {{"--dir", "d", "--cups-idle", "0.001"}, "--cups-idle and --cups-limit must be at least 0.01"},
      {{"--dir"}, "--dir needs a value"},
      {{"--dir", "d", "--cup"}, "unknown or ambiguous option --cup"},
      {{"--dir", "d", "-x"}, "unknown option -x"},
      {{"--dir", "d", "--state", "s", "--cups"}, "give --state or --cups, not both"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> words = c.args;
    words.insert(words.begin(), "prcontroller");
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    CommandLine cl;
    std::string err;
    const Settings& s = cl.settings;
    EXPECT_EQ(ParseCommandLine(static_cast<int>(words.size()), argv.data(), &cl, &err), c.error.empty());
    EXPECT_EQ(err, c.error) << words[1];
    if (c.error.empty()) {
      EXPECT_EQ(std::tie(s.dir, s.cups, s.cups_idle_s, s.reply_quota),
                std::tuple("d", c.cups, c.idle, c.quotaMib << 20)) << words[1];
    }
  }
}

}  // namespace
}  // namespace prcontroller
