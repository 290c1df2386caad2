#include "screens/EntryText.h"

namespace Presentation {

std::string DisplayName(const Data::UpdateEntry& entry) {
    return entry.product ? entry.product->name : std::string();
}

std::string ProductCode(const Data::UpdateEntry& entry) {
    return entry.product ? entry.product->code : std::string();
}

std::vector<std::string> WrapMessage(const std::string& message) {
    std::vector<std::string> pieces;
    std::string rest = message;
    while (pieces.size() < kMaxPieces) {
        if (pieces.size() == kMaxPieces - 1 || rest.size() < kPieceChars) {
            pieces.push_back(rest);
            return pieces;
        }
        size_t blank = rest.find_last_of(' ', kPieceChars - 1);
        if (blank != std::string::npos) {
            pieces.push_back(rest.substr(0, blank + 1));
            rest.erase(0, blank + 1);
        } else if (pieces.empty()) {
            // No blank to cut at: the name's line keeps no text.
            pieces.emplace_back();
        } else {
            // A word longer than a line: cut it hard so the text stays whole and in order.
            pieces.push_back(rest.substr(0, kPieceChars));
            rest.erase(0, kPieceChars);
        }
    }
    return pieces;
}

std::vector<std::string> MessageLines(const Data::UpdateEntry& entry) {
    const std::vector<std::string> pieces = WrapMessage(entry.message);
    std::vector<std::string> lines;
    lines.push_back(DisplayName(entry) + "\t" + pieces.front());
    for (size_t i = 1; i < pieces.size(); ++i)
        if (!pieces[i].empty()) lines.push_back("\t" + pieces[i]);
    return lines;
}

std::string UpdateLine(const Data::UpdateEntry& entry) {
    return DisplayName(entry) + "\t" + (ProductCode(entry) == "HLP" ? "(Optional)" : "");
}

DownloadEstimate EstimateDownload(int64_t totalBytes) {
    const int64_t dialUp = totalBytes / kDialUpBytesPerSecond / 60;
    const int64_t broadband = totalBytes / kBroadbandBytesPerSecond / 60;
    DownloadEstimate estimate;
    estimate.dialUp = dialUp >= 1 ? std::to_string(dialUp) + " minutes on Dial-up"
                                  : "Less than 1 minutes on Dial-up";
    estimate.broadband = broadband >= 1 ? std::to_string(broadband) + " minutes on Broadband"
                                        : "Less than 1 minutes on Broadband";
    return estimate;
}

}  // namespace Presentation
