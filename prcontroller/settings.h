// How one run of the controller is set up; filled from its command line.
#ifndef PRCONTROLLER_SETTINGS_H_
#define PRCONTROLLER_SETTINGS_H_

#include <cstdint>
#include <optional>
#include <string>

namespace prcontroller {

struct Settings {
  std::string dir;         // the request directory
  std::string state_path;  // spool state file; empty: an empty spool
  // --cups: the CUPS scheduler to ask instead ("" for the default one).
  std::optional<std::string> cups;
  // An exchange with the scheduler fails after this long without a byte
  // from it, or after the overall limit however much it sends.
  double cups_idle_s = 1.5;
  double cups_limit_s = 30;
  // A request file that stays short or malformed this long is given up on.
  // Copies of 132 bytes take milliseconds; seconds leave room for a slow
  // remote copy.
  double grace_s = 2;
  // Replies are removed this long after they were written. Clients give up
  // about a minute after sending, so ten minutes is plenty.
  double reply_age_s = 600;
  double poll_interval_s = 0.1;  // directory scans when polling
  // Bounds on the space the replies kept for their age take, for each
  // requesting user (the owner of the request file) and for all of them: a
  // flood of requests from one user fills neither the disk nor another
  // user's share. A request whose reply would go over is refused.
  std::uint64_t reply_quota = std::uint64_t{64} << 20;
  std::uint64_t reply_total = std::uint64_t{512} << 20;
  bool once = false;   // answer what is there, then exit
  bool poll = false;   // scan instead of using inotify
  bool quiet = false;  // log only problems
};

}  // namespace prcontroller

#endif  // PRCONTROLLER_SETTINGS_H_
