#pragma once
// Line pieces and key=value lines of the settings files and manifests.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Data {

inline constexpr size_t kSettingsPieceChars = 254;   // settings files
inline constexpr size_t kManifestPieceChars = 1022;  // manifests
inline constexpr size_t kTypedPieceChars = 510;      // ts07.cfg, swmgr.cfg, uninstall files

enum class LineForm { Settings, Manifest };

struct KeyValue {
    std::string key;
    std::string value;
};

// One line piece -> key and value, or nothing (comment, no "=").
std::optional<KeyValue> ReadKeyValueLine(std::string_view piece, LineForm form);

// Cuts text into line pieces the way a bounded line reader does: each piece
// ends after a line feed or after maxChars characters. CR LF is read as LF
// (text mode).
std::vector<std::string> SplitLinePieces(std::string_view text, size_t maxChars);

// A file's bytes as stored; nothing when it cannot be opened or read.
std::optional<std::string> ReadWholeFile(const std::string& path);

// Reads a whole file and cuts it into pieces; nothing when it cannot be opened.
std::optional<std::vector<std::string>> ReadLinePieces(const std::string& path, size_t maxChars);

// The same cut, but each piece keeps its bytes as stored (CR LF stays), so a
// rewrite can put unchanged lines back exactly. CR LF still counts as one character.
std::vector<std::string> SplitRawLinePieces(std::string_view text, size_t maxChars);

// Typed line "type:name=value" of ts07.cfg, read like the pattern
// "type:%[^:=]=%[^:=\r\n]": nothing unless the type and a name match; the value
// is empty when nothing matches after the "=".
struct TypedLine {
    std::string name;
    std::string value;
};
std::optional<TypedLine> ParseTypedLine(std::string_view piece, std::string_view type);

}  // namespace Data
