#include "data/KeyValueLine.h"

#include <cstdio>
#include <memory>

#include "data/Text.h"

namespace Data {

namespace {

constexpr std::string_view kTrimSet = " \r\n";

// The trim of both readers: a text made only of trim characters stays as it is.
std::string TrimKeepingBlankText(std::string_view text) {
    if (text.find_first_not_of(kTrimSet) == std::string_view::npos) return std::string(text);
    return StripBoth(text, kTrimSet);
}

// Length in bytes of the next piece starting at `from`. A bounded line reader
// stops after a line feed or after maxChars characters; the text-mode reader
// it imitates sees CR LF as a single line feed.
size_t NextPieceLength(std::string_view text, size_t from, size_t maxChars) {
    size_t i = from;
    size_t chars = 0;
    while (i < text.size() && chars < maxChars) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') return i + 2 - from;
        if (text[i] == '\n') return i + 1 - from;
        ++i;
        ++chars;
    }
    return i - from;
}

}  // namespace

std::optional<KeyValue> ReadKeyValueLine(std::string_view piece, LineForm form) {
    if (!piece.empty() && piece.front() == '#') return std::nullopt;
    std::string line(piece);
    if (form == LineForm::Manifest) line = TrimKeepingBlankText(line);
    size_t eq = line.find('=');
    if (eq == std::string::npos) return std::nullopt;
    KeyValue kv;
    kv.key = TrimKeepingBlankText(std::string_view(line).substr(0, eq));
    kv.value = TrimKeepingBlankText(std::string_view(line).substr(eq + 1));
    if (form == LineForm::Manifest) kv.key = ToUpper(kv.key);
    return kv;
}

std::vector<std::string> SplitRawLinePieces(std::string_view text, size_t maxChars) {
    std::vector<std::string> pieces;
    if (maxChars == 0) return pieces;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t length = NextPieceLength(text, pos, maxChars);
        pieces.emplace_back(text.substr(pos, length));
        pos += length;
    }
    return pieces;
}

std::vector<std::string> SplitLinePieces(std::string_view text, size_t maxChars) {
    std::vector<std::string> pieces = SplitRawLinePieces(text, maxChars);
    for (std::string& piece : pieces) {
        if (piece.size() >= 2 && piece.ends_with("\r\n")) piece.erase(piece.size() - 2, 1);
    }
    return pieces;
}

namespace {
struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
}  // namespace

std::optional<std::string> ReadWholeFile(const std::string& path) {
    std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) return std::nullopt;
    std::string text;
    char buffer[8192];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) text.append(buffer, got);
    // A folder opens on Linux but cannot be read; it counts as not opened.
    if (std::ferror(file.get())) return std::nullopt;
    return text;
}

std::optional<std::vector<std::string>> ReadLinePieces(const std::string& path, size_t maxChars) {
    std::optional<std::string> text = ReadWholeFile(path);
    if (!text) return std::nullopt;
    return SplitLinePieces(*text, maxChars);
}

std::optional<TypedLine> ParseTypedLine(std::string_view piece, std::string_view type) {
    if (!piece.starts_with(type) || piece.size() <= type.size() || piece[type.size()] != ':')
        return std::nullopt;
    std::string_view rest = piece.substr(type.size() + 1);
    size_t nameEnd = rest.find_first_of(":=");
    if (nameEnd == std::string_view::npos) nameEnd = rest.size();
    if (nameEnd == 0) return std::nullopt;
    TypedLine line;
    line.name = std::string(rest.substr(0, nameEnd));
    if (nameEnd < rest.size() && rest[nameEnd] == '=') {
        std::string_view after = rest.substr(nameEnd + 1);
        line.value = std::string(after.substr(0, after.find_first_of(":=\r\n")));
    }
    return line;
}

}  // namespace Data
