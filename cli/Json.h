// JSON output of z500ctl's commands, shared by all of them.
#pragma once

#include <string>
#include <string_view>

namespace Z500Ctl {

// `text` as a JSON string in quotes: '"' and '\' escaped, control
// characters as \u00NN, other bytes as they are.
std::string JsonString(std::string_view text);

}  // namespace Z500Ctl
