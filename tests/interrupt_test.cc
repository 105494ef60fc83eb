#include <gtest/gtest.h>

#include <unistd.h>

#include "interrupt.h"

namespace {

// A deadline has passed once its own nanosecond is reached, not as soon as
// its second begins.
TEST(Deadline, PassedAtItsNanosecond) {
  using prclient::detail::Now;
  timespec end = Now();
  if (end.tv_nsec > 900000000L) usleep(150000);
  end = Now();
  end.tv_nsec = 999999999L;
  EXPECT_FALSE(prclient::detail::Passed(end));
  EXPECT_TRUE(prclient::detail::Passed(Now()));
}

}  // namespace
