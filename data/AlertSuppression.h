#pragma once
// swmgr.cfg: "do not show this alert again".

#include <cstdint>
#include <optional>
#include <string>

namespace Data {

struct AlertSuppression {
    std::optional<std::string> currentVersion;  // text after "currver="
    std::optional<std::string> show;            // text after "show="
};

std::string AlertSuppressionPath();  // per-user data folder + /Tessra/2007/swmgr.cfg
AlertSuppression ReadAlertSuppression(const std::string& path);
// Writes both lines (CR LF ends); false when the file cannot be created.
bool WriteAlertSuppression(const std::string& path, int32_t version, bool doNotShow);

}  // namespace Data
