// z500ctl ports: every port of the port map, with what the system knows of
// it and whether this user can open it now.
#pragma once

#include <ostream>

#include "PortInfo.h"

namespace Z500Ctl {

// Prints the ports on `out`: one line each, starting with the COM name, or a
// JSON array of objects (with at least "port" and "device") when `json`.
// Returns the exit code.
int PortsCommand(std::ostream& out, std::ostream& err, bool json);

// The same for the ports of `map`, with the system's facts read under `roots`.
int PortsCommand(std::ostream& out, std::ostream& err, bool json, const QuarlComm32::IPortMap& map,
                 const QuarlComm32::TPortRoots& roots);

}  // namespace Z500Ctl
