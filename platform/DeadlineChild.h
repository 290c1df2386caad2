#pragma once
// Runs code that may never return, and cannot be interrupted, in a child
// process with a deadline: proxy scripts and the desktop's proxy lookup.

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace Sys {

// Runs `work` in a forked child and returns its answer. Nothing when the work
// has no answer, the child dies, the answer is longer than maxBytes, or no
// answer arrives within `deadline` (the child is then killed). The child is
// always reaped before this returns. The child gets bounded room: some hundred
// MiB of address space beyond what it inherits (none under sanitizers) and CPU
// time a little past the deadline; going over counts as no answer.
//
// The child is a fork of a process with several threads: `work` must not touch
// anything another thread may have held locked at the fork (Qt, libcurl
// handles, shared streams). A lock it still trips over only costs the
// deadline, never the program.
std::optional<std::string> AnswerFromChild(const std::function<std::optional<std::string>()>& work,
                                           std::chrono::milliseconds deadline, size_t maxBytes);

}  // namespace Sys
