#include "LinkSteps.h"

namespace Z500 {

void QuietReceiver(const std::function<void(const TFrame&)>& send, IClock& clock) {
  const TFrame unlog = UnlogCommand();
  clock.Sleep(100);
  send(unlog);
  clock.Sleep(100);
  send(unlog);
  clock.Sleep(500);
}

}  // namespace Z500
