#include "PortsCommand.h"

namespace Z500Ctl {

// Placeholder until the listing lands.
int PortsCommand(std::ostream&, std::ostream&, bool) { return 0; }

}  // namespace Z500Ctl
