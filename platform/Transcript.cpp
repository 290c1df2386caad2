#include "platform/Transcript.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace Sys {

namespace {
std::mutex& TranscriptMutex() {
    static std::mutex m;
    return m;
}
const char* TranscriptPath() {
    const char* path = std::getenv("TESSRA_SWM_TRANSCRIPT");
    return (path && *path) ? path : nullptr;
}
}  // namespace

bool Transcript::Enabled() { return TranscriptPath() != nullptr; }

void Transcript::Write(const std::string& name, nlohmann::json fields) {
    const char* path = TranscriptPath();
    if (!path) return;
    nlohmann::json event = nlohmann::json::object();
    event["event"] = name;
    for (auto& [key, value] : fields.items()) event[key] = value;
    // Replace invalid UTF-8 rather than throw: texts come from files and servers.
    std::string line = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    line += '\n';
    std::lock_guard<std::mutex> lock(TranscriptMutex());
    // Opened per event so that a crash or _exit never loses earlier lines.
    if (FILE* f = std::fopen(path, "ab")) {
        std::fwrite(line.data(), 1, line.size(), f);
        std::fclose(f);
    }
}

}  // namespace Sys
