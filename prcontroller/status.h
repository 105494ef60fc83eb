// The status a reply's first line carries. The client exits with it, so
// the values stay small and each names one kind of outcome a script can
// test for.
#ifndef PRCONTROLLER_STATUS_H_
#define PRCONTROLLER_STATUS_H_

namespace prcontroller {

enum ReplyStatus : int {
  kStatusOk = 0,              // a listing with at least one entry, or help
  kStatusNoMatch = 1,         // a listing in which nothing matched
  kStatusBadArguments = 2,    // unknown option, bad value, arguments cut
  kStatusUnknownRequest = 3,  // a request name this controller does not serve
  kStatusMalformed = 4,       // the request file is not a valid request
  kStatusNoState = 5,         // the spool state could not be read
  kStatusNoQueue = 6,         // -p named no queue there is, unlike a queue with no jobs
};

}  // namespace prcontroller

#endif  // PRCONTROLLER_STATUS_H_
