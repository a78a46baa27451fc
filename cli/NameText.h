// File names as z500ctl prints them and takes them back. A name is bytes,
// not text: printable ASCII stands for itself, a backslash is written "\\",
// and every other byte (controls, 0x7F and everything above) as "\xNN" with
// two hex digits. So the printed name is plain ASCII, the same in any
// terminal, and gives back exactly the bytes the receiver listed.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "DirectoryEntries.h"

namespace Z500Ctl {

// The printed form of `bytes`.
std::string EscapeBytes(std::span<const uint8_t> bytes);
// The bytes of a printed form; empty when an escape is malformed or a
// character is not printable ASCII.
std::optional<std::string> UnescapeBytes(std::string_view text);

// The name column as printed: 8 name bytes, '.', 3 extension bytes, blanks
// kept, escaped.
std::string PrintedName(const Z500::TDirectoryEntry& entry);

using TExtension = std::array<uint8_t, 3>;

// A delete argument: the 8 name bytes it stands for, and the 3 extension
// bytes when it gives an extension. Accepted: the name as printed
// ("ABCD1234.XYZ", "AB      .TXT"), or the name without the extension's
// blanks or without blank padding ("AB.TXT", "AB"), each part padded with
// blanks. Only the name goes into a delete request; a given extension must
// match the listed file's. Empty when the text is malformed, its name part
// is empty or longer than 8, or its extension longer than 3.
struct TNameArgument {
  Z500::TFileName Name;
  std::optional<TExtension> Extension;
  bool operator==(const TNameArgument&) const = default;
};
std::optional<TNameArgument> DeleteArgument(std::string_view text);

// The 8 name bytes of DeleteArgument(text).
std::optional<Z500::TFileName> NameArgument(std::string_view text);

// The argument as the messages show it: the name, and ".EXT" when given.
std::string ArgumentText(const TNameArgument& argument);

// Bytes as lower-case hex digits, no separators.
std::string Hex(std::span<const uint8_t> bytes);

}  // namespace Z500Ctl
