#pragma once
// Small text rules shared by the readers and the command-line parsing.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/RegularFile.h"

namespace Data {

// Strip by a set of characters (not a word): removes characters from one end
// for as long as each belongs to `set`.
std::string StripStart(std::string_view text, std::string_view set);
std::string StripEnd(std::string_view text, std::string_view set);
std::string StripBoth(std::string_view text, std::string_view set);

std::string ToLower(std::string_view text);
std::string ToUpper(std::string_view text);

// The C `atoi` rule (leading blanks, optional sign, digits up to the first
// other character, none gives 0), clamped to the signed 32-bit range instead
// of overflowing.
int32_t Atoi32(std::string_view text);

// Replaces every occurrence of `what` with nothing.
std::string RemoveAll(std::string_view text, char what);

using Sys::LinkRule;

// The whole of a small regular file of at most `limit` bytes; nothing for
// anything else (a folder, a pipe, a longer file, a link under Refuse).
std::optional<std::string> ReadBoundedFile(const std::string& path, size_t limit,
                                           LinkRule links = LinkRule::Refuse);

// The "/Tessra/2007/" suffix of every data path.
inline constexpr const char* kTessraSuffix = "/Tessra/2007/";

}  // namespace Data
