#include "data/Text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <limits>

namespace Data {

std::string StripStart(std::string_view text, std::string_view set) {
    size_t i = 0;
    while (i < text.size() && set.find(text[i]) != std::string_view::npos) ++i;
    return std::string(text.substr(i));
}

std::string StripEnd(std::string_view text, std::string_view set) {
    size_t n = text.size();
    while (n > 0 && set.find(text[n - 1]) != std::string_view::npos) --n;
    return std::string(text.substr(0, n));
}

std::string StripBoth(std::string_view text, std::string_view set) {
    return StripEnd(StripStart(text, set), set);
}

std::string ToLower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string ToUpper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

int32_t Atoi32(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t value = 0;
    const int64_t limit = static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > limit) value = limit;  // saturate; more digits change nothing
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<int32_t>::max()) value = std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value);
}

std::string RemoveAll(std::string_view text, char what) {
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != what) out += c;
    return out;
}

std::optional<std::string> ReadBoundedFile(const std::string& path, size_t limit, LinkRule links) {
    const int fd = Sys::OpenRegularFile(path, O_RDONLY, 0, links);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::string text;
    bool ok = ::fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) <= limit;
    char buffer[16384];
    while (ok) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) ok = false;
        if (got <= 0) break;
        text.append(buffer, static_cast<size_t>(got));
        // The file may grow while it is read.
        if (text.size() > limit) ok = false;
    }
    ::close(fd);
    if (!ok) return std::nullopt;
    return text;
}

}  // namespace Data
