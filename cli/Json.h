// z500ctl's JSON output, all in one place: strings, the file listing, and
// the objects of a run on several receivers and of a scan.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "DirectoryEntries.h"
#include "Link.h"
#include "Z500Ctl.h"

namespace Z500Ctl {

// `text` as a JSON string, quotes included.
std::string JsonString(std::string_view text);

// `files --json` on one receiver: an array, one object per line.
void PrintFilesJson(std::ostream& out, const std::vector<Z500::TDirectoryEntry>& files);

// One receiver's object of a --json run: "port", "device", "exit", "error"
// (null when done), and what the command got: "interval" and "cutoff",
// "files", "deleted", "done" or "upgraded" with its bytes and seconds.
std::string PortJson(const std::string& port, const TOutcome& outcome);

// Objects as one JSON array, one a line.
void PrintJsonArray(std::ostream& out, const std::vector<std::string>& objects);

}  // namespace Z500Ctl
