#pragma once
// Unattended mode, observing side: TESSRA_SWM_TRANSCRIPT=FILE receives one
// JSON object per line for every screen, result, message, launch, ...

#include <nlohmann/json.hpp>
#include <string>

namespace Sys {

class Transcript {
  public:
    static bool Enabled();
    // Appends {"event": name, ...fields} as one line; thread-safe; no-op when disabled.
    static void Write(const std::string& name, nlohmann::json fields = nlohmann::json::object());
};

}  // namespace Sys
