#pragma once
// Texts the screens make from update entries: names, wrapped messages and
// download-time estimates.

#include <cstdint>
#include <string>
#include <vector>

#include "data/Manifest.h"

namespace Presentation {

// Empty when the entry has no product (unknown code).
std::string DisplayName(const Data::UpdateEntry& entry);
std::string ProductCode(const Data::UpdateEntry& entry);

// Longest message piece; a rest of up to kPieceChars - 1 characters is taken whole.
inline constexpr size_t kPieceChars = 47;
inline constexpr size_t kMaxPieces = 9;

// Cuts a message into at most nine pieces of at most 47 characters, each cut
// just after a blank. The first piece is empty when the first 47 characters
// hold no blank; the ninth takes whatever remains.
std::vector<std::string> WrapMessage(const std::string& message);

// List lines of one entry: name, tab and the first piece; then a tab and each
// further piece that is not empty.
std::vector<std::string> MessageLines(const Data::UpdateEntry& entry);

// "(Optional)" marks the help files in the list of updates.
std::string UpdateLine(const Data::UpdateEntry& entry);

inline constexpr int32_t kDialUpBytesPerSecond = 7000;
inline constexpr int32_t kBroadbandBytesPerSecond = 48000;

struct DownloadEstimate {
    std::string dialUp;     // "Less than 1 minutes on Dial-up" or "N minutes on Dial-up"
    std::string broadband;  // likewise "... on Broadband"
};
DownloadEstimate EstimateDownload(int64_t totalBytes);

}  // namespace Presentation
