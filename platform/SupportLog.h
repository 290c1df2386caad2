#pragma once
// The support log: every event of every run of the program, one timestamped
// line each, so that support staff can see what happened on a machine where
// nobody kept a transcript. Off in every process until the program turns it on.

#include <cstdint>
#include <string>

namespace Sys {

class SupportLog {
  public:
    static constexpr std::uint64_t kSizeLimit = 1024 * 1024;

    // $XDG_STATE_HOME/tessra-swm/swm.log (an absolute XDG_STATE_HOME only),
    // else ~/.local/state/tessra-swm/swm.log; empty when TESSRA_SWM_LOG=0 or
    // there is no home folder.
    static std::string DefaultPath();

    // Sends the following Append calls to `path` (empty: nowhere). The log is
    // kept under `sizeLimit` by moving it to PATH.1 before it would grow past.
    static void Enable(const std::string& path, std::uint64_t sizeLimit = kSizeLimit);
    static std::string Path();  // empty while off

    // Appends "TIMESTAMP TEXT\n" (ISO 8601, UTC, milliseconds). Creates the
    // log's folders (0700) and the log (0600); never follows a link in place
    // of the log or its folder; a failure to log is silent. Thread-safe.
    static void Append(const std::string& text);
};

}  // namespace Sys
