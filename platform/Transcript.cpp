#include "platform/Transcript.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/SupportLog.h"

namespace Sys {

namespace {
std::mutex& TranscriptMutex() {
    static std::mutex m;
    return m;
}
Transcript::Observer& TheObserver() {
    static Transcript::Observer observer;
    return observer;
}
const char* TranscriptPath() {
    const char* path = std::getenv("TESSRA_SWM_TRANSCRIPT");
    return (path && *path) ? path : nullptr;
}
}  // namespace

bool Transcript::Enabled() { return TranscriptPath() != nullptr; }

void Transcript::SetObserver(Observer observer) {
    std::lock_guard<std::mutex> lock(TranscriptMutex());
    TheObserver() = std::move(observer);
}

void Transcript::Write(const std::string& name, nlohmann::json fields) {
    const char* path = TranscriptPath();
    nlohmann::json event = nlohmann::json::object();
    event["event"] = name;
    for (auto& [key, value] : fields.items()) event[key] = value;
    // Replace invalid UTF-8 rather than throw: texts come from files and servers.
    std::string line = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::lock_guard<std::mutex> lock(TranscriptMutex());
    SupportLog::Append(line);
    // Opened per event so that a crash or _exit never loses earlier lines.
    if (path) {
        if (FILE* f = std::fopen(path, "ab")) {
            line += '\n';
            std::fwrite(line.data(), 1, line.size(), f);
            std::fclose(f);
        }
    }
    if (TheObserver()) TheObserver()(event);
}

void ReportFileProblem(const std::string& file, const std::string& problem) {
    Transcript::Write("file-problem", {{"file", file}, {"problem", problem}});
    if (file.empty())
        std::fprintf(stderr, "tessra-swm: %s\n", problem.c_str());
    else
        std::fprintf(stderr, "tessra-swm: %s: %s\n", file.c_str(), problem.c_str());
}

}  // namespace Sys
