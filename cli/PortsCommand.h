// z500ctl ports: every port of the port map, with what the system knows of
// it and whether this user can open it now.
#pragma once

#include <ostream>

namespace Z500Ctl {

// Prints the ports on `out`: one line each, starting with the COM name, or a
// JSON array of objects (with at least "port" and "device") when `json`.
// Returns the exit code.
int PortsCommand(std::ostream& out, std::ostream& err, bool json);

}  // namespace Z500Ctl
