// The pause between reply polls.
#include "interrupt.h"
#include "prclient.h"

namespace prclient {

void Delay(int seconds) {
  if (seconds > 0) detail::WaitUntil(detail::After(seconds));
}

}  // namespace prclient
