// A command on several receivers at once: one link and one thread each,
// their lines prefixed with the port, or one JSON array of an object per
// port, and the worst exit code of them.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "Console.h"
#include "Interrupt.h"
#include "LineTrace.h"
#include "Z500Ctl.h"

namespace Z500Ctl {

// Runs the command of `options` on every one of `ports` at the same time.
// One receiver's failure leaves the others alone. Throws TFailure (before
// any port opens) for a firmware file that will not do.
int RunOnSeveral(const TArguments& options, const std::vector<std::string>& ports, TConsole& console,
                 std::ostream& out, TInterrupt& process, Z500::TLineTrace* trace);

}  // namespace Z500Ctl
