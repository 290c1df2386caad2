#pragma once
// Searching the command line. Windows paths never hold "/", so the original
// program finds "/N" anywhere; POSIX paths are full of "/", so a "/"-switch
// only counts where its "/" begins a word (start, or after blank, tab or quote).
// Plain words ("http", "alert", "hide", "-reinstall") are found anywhere.

#include <string>
#include <string_view>
#include <vector>

namespace Sys {

// Position of the first occurrence of `word`, or npos. Words that begin
// with '/' obey the switch rule above; all others are plain substrings.
size_t FindWord(std::string_view text, std::string_view word, size_t from = 0);
// Position of the last occurrence, same rule.
size_t FindLastWord(std::string_view text, std::string_view word);
inline bool HasWord(std::string_view text, std::string_view word) {
    return FindWord(text, word) != std::string_view::npos;
}

// argv joined by single blanks; an argument holding a blank or tab is quoted.
std::string JoinCommandLine(int argc, const char* const* argv);
// Splits a parameter text the way a Windows program would: blanks separate,
// double quotes group (and are dropped), backslash-quote is a literal quote.
std::vector<std::string> SplitParameters(std::string_view parameters);

}  // namespace Sys
