// File names as z500ctl prints them and takes them back. A name is bytes,
// not text: printable ASCII stands for itself, a backslash is written "\\",
// and every other byte (controls, 0x7F and everything above) as "\xNN" with
// two hex digits. So the printed name is plain ASCII, the same in any
// terminal, and gives back exactly the bytes the receiver listed.
#pragma once

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

// The 8 name bytes a delete argument stands for. Accepted: the name as
// printed ("ABCD1234.XYZ", "AB      .TXT"), or the name without the
// extension's blanks or without blank padding ("AB.TXT", "AB"), padded with
// blanks to 8 bytes; the extension is not part of a delete request. Empty
// when the text is malformed or its name part is empty or longer than 8.
std::optional<Z500::TFileName> NameArgument(std::string_view text);

// Bytes as lower-case hex digits, no separators.
std::string Hex(std::span<const uint8_t> bytes);

}  // namespace Z500Ctl
