#pragma once
// Line pieces and key=value lines of the settings files and manifests.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Data {

inline constexpr size_t kSettingsPieceChars = 254;  // settings files
inline constexpr size_t kManifestPieceChars = 1022;  // manifests
inline constexpr size_t kTypedPieceChars = 510;     // ts07.cfg, swmgr.cfg, uninstall files

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

// Reads a whole file and cuts it into pieces; nothing when it cannot be opened.
std::optional<std::vector<std::string>> ReadLinePieces(const std::string& path, size_t maxChars);

}  // namespace Data
