#include "platform/CommandLine.h"

namespace Sys {

namespace {
bool StartsWord(std::string_view text, size_t pos) {
    if (pos == 0) return true;
    char before = text[pos - 1];
    return before == ' ' || before == '\t' || before == '"';
}
}  // namespace

size_t FindWord(std::string_view text, std::string_view word, size_t from) {
    if (word.empty()) return std::string_view::npos;
    size_t pos = text.find(word, from);
    if (word.front() != '/') return pos;
    while (pos != std::string_view::npos && !StartsWord(text, pos)) pos = text.find(word, pos + 1);
    return pos;
}

size_t FindLastWord(std::string_view text, std::string_view word) {
    if (word.empty()) return std::string_view::npos;
    size_t pos = text.rfind(word);
    if (word.front() != '/') return pos;
    while (pos != std::string_view::npos && !StartsWord(text, pos)) {
        if (pos == 0) return std::string_view::npos;
        pos = text.rfind(word, pos - 1);
    }
    return pos;
}

std::string JoinCommandLine(int argc, const char* const* argv) {
    std::string line;
    for (int i = 0; i < argc; ++i) {
        std::string_view arg = argv[i] ? argv[i] : "";
        if (i > 0) line += ' ';
        if (arg.find_first_of(" \t") != std::string_view::npos) {
            line += '"';
            line += arg;
            line += '"';
        } else {
            line += arg;
        }
    }
    return line;
}

std::vector<std::string> SplitParameters(std::string_view parameters) {
    std::vector<std::string> out;
    std::string current;
    bool inQuotes = false, have = false;
    for (size_t i = 0; i < parameters.size(); ++i) {
        char c = parameters[i];
        if (c == '\\' && i + 1 < parameters.size() && parameters[i + 1] == '"') {
            current += '"';
            have = true;
            ++i;
        } else if (c == '"') {
            inQuotes = !inQuotes;
            have = true;
        } else if ((c == ' ' || c == '\t') && !inQuotes) {
            if (have) out.push_back(current);
            current.clear();
            have = false;
        } else {
            current += c;
            have = true;
        }
    }
    if (have) out.push_back(current);
    return out;
}

}  // namespace Sys
