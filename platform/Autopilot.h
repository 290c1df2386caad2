#pragma once
// Unattended mode, driving side: TESSRA_SWM_AUTOPILOT=FILE answers the screens.
// One step per line: the screen class, then the control ids to press, in order
// ("DLMgrDlg wait", "DLMgrDlg 2@500000", "FinishedDlg 1109 1").

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Sys {

struct AutopilotStep {
    std::string screen;
    std::vector<std::string> actions;
    int line = 0;  // line number in the file, for error reports
};

class Autopilot {
  public:
    // Nullptr when TESSRA_SWM_AUTOPILOT is not set.
    static Autopilot* Current();
    // Parses steps from text ("#" comments and blank lines skipped).
    static std::vector<AutopilotStep> Parse(const std::string& text);

    explicit Autopilot(std::vector<AutopilotStep> steps) : steps_(std::move(steps)) {}

    // The next step when it names `screen`; otherwise records an
    // "autopilot-error" and an "end" with status 3 in the transcript and
    // ends the process with status 3.
    AutopilotStep Take(const std::string& screen);
    // Ends the process with status 3 after recording why.
    [[noreturn]] static void Abort(const std::string& screen, const std::string& reason);

  private:
    std::mutex mutex_;
    std::vector<AutopilotStep> steps_;
    size_t next_ = 0;
};

}  // namespace Sys
