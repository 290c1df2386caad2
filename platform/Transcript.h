#pragma once
// Unattended mode, observing side: TESSRA_SWM_TRANSCRIPT=FILE receives one
// JSON object per line for every screen, result, message, launch, ... The
// same lines go to the support log when the program has turned it on.

#include <functional>
#include <nlohmann/json.hpp>
#include <string>

namespace Sys {

class Transcript {
  public:
    static bool Enabled();
    // Appends {"event": name, ...fields} as one line to the transcript and the
    // support log; thread-safe; writes nothing where neither is on.
    static void Write(const std::string& name, nlohmann::json fields = nlohmann::json::object());

    // Sees every event after it was written (the program watches for failures).
    // Called under the transcript's lock: it must not write events itself.
    using Observer = std::function<void(const nlohmann::json& event)>;
    static void SetObserver(Observer observer);
};

// A file the run needed but could not use (the messages shown for it do not
// name it): a "file-problem" event and one line on stderr, both naming it.
void ReportFileProblem(const std::string& file, const std::string& problem);

}  // namespace Sys
