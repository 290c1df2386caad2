#include "data/AlertSuppression.h"

#include <cstdio>

#include "data/DataFolders.h"
#include "data/KeyValueLine.h"
#include "data/Text.h"

namespace Data {

std::string AlertSuppressionPath() { return UserDataPath("swmgr.cfg"); }

AlertSuppression ReadAlertSuppression(const std::string& path) {
    AlertSuppression result;
    std::optional<LinePieces> pieces = LinePieces::Open(path, kTypedPieceChars);
    if (!pieces) return result;
    for (const std::string& raw : *pieces) {
        std::string piece = StripEnd(raw, "\r\n");
        // Stripping the letters of the key as a set leaves the value, as the
        // file's writer produces it; the last such line wins.
        if (piece.find("currver=") != std::string::npos)
            result.currentVersion = StripBoth(StripStart(piece, "currver="), " ");
        if (piece.find("show=") != std::string::npos)
            result.show = StripBoth(StripStart(piece, "show="), " ");
    }
    return result;
}

bool WriteAlertSuppression(const std::string& path, int32_t version, bool doNotShow) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    std::string text = "currver=" + std::to_string(version) + "\r\n" +
                       (doNotShow ? "show=false" : "show=true") + "\r\n";
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    ok = (std::fclose(file) == 0) && ok;
    return ok;
}

}  // namespace Data
