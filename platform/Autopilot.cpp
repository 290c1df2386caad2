#include "platform/Autopilot.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/Transcript.h"

namespace Sys {

std::vector<AutopilotStep> Autopilot::Parse(const std::string& text) {
    std::vector<AutopilotStep> steps;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        std::istringstream words(line);
        AutopilotStep step;
        step.line = number;
        if (!(words >> step.screen)) continue;
        for (std::string word; words >> word;) step.actions.push_back(word);
        steps.push_back(std::move(step));
    }
    return steps;
}

Autopilot* Autopilot::Current() {
    static Autopilot* instance = []() -> Autopilot* {
        const char* path = std::getenv("TESSRA_SWM_AUTOPILOT");
        if (!path || !*path) return nullptr;
        std::ifstream file(path, std::ios::binary);
        std::stringstream text;
        if (file) text << file.rdbuf();
        return new Autopilot(Parse(text.str()));  // lives for the process
    }();
    return instance;
}

AutopilotStep Autopilot::Take(const std::string& screen) {
    std::string reason;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (next_ < steps_.size() && steps_[next_].screen == screen) return steps_[next_++];
        reason = next_ < steps_.size() ? "step " + std::to_string(steps_[next_].line) + " is for " +
                                             steps_[next_].screen
                                       : "no step left";
    }
    Abort(screen, reason);
}

void Autopilot::Abort(const std::string& screen, const std::string& reason) {
    Transcript::Write("autopilot-error", {{"screen", screen}, {"reason", reason}});
    Transcript::Write("end", {{"status", 3}});
    std::fflush(nullptr);
    _exit(3);
}

}  // namespace Sys
