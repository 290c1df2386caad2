#pragma once
// The request head as the connection reader collects it, before httplib parses it.

#include <cstddef>
#include <optional>
#include <string>

namespace UpdateSrv {

// Where the head at the start of `buffer` ends (just after its blank line), or npos while it is
// incomplete. Lines may end in CR LF or LF alone.
size_t HeadEnd(const std::string& buffer);

// Drops blank lines in front of a request line, as HTTP asks of servers.
void SkipBlankLines(std::string& buffer);

// Removes every Range field from the head (head.size() bytes, the blank line included) and
// gives the value of the first, or nothing. The server answers ranges itself: the value then
// no longer reaches httplib, which would refuse a range it cannot parse with 416 where HTTP
// wants the range ignored.
std::optional<std::string> TakeRangeField(std::string& head);

}  // namespace UpdateSrv
