#include "app/Processes.h"

#include <chrono>
#include <thread>

#include "data/Text.h"

namespace App {

ProcessFinder ProcessFinder::Fill() {
    ProcessFinder finder;
    finder.platform = &Sys::Current();
    finder.processes = finder.platform->ListProcesses();
    return finder;
}

bool ProcessNameMatches(const Sys::ProcessEntry& entry, const std::string& name) {
    std::string wanted = Data::ToLower(name);
    if (Data::ToLower(entry.comm) == wanted) return true;
    size_t slash = entry.argv0.find_last_of("/\\");
    std::string base = slash == std::string::npos ? entry.argv0 : entry.argv0.substr(slash + 1);
    return Data::ToLower(base) == wanted;
}

std::unique_ptr<Sys::WaitHandle> FindRunningProgram(ProcessFinder& finder, const std::string& name,
                                                    uint32_t& pid) {
    if (!finder.platform) return nullptr;
    for (const auto& entry : finder.processes) {
        if (!ProcessNameMatches(entry, name)) continue;
        // A process that ended since the list was taken is simply not running.
        if (auto handle = finder.platform->OpenProcess(entry.pid)) {
            pid = entry.pid;
            return handle;
        }
    }
    return nullptr;
}

void WaitForProgramExit(const std::string& name, const std::string& notice) {
    for (bool told = notice.empty();;) {
        ProcessFinder finder = ProcessFinder::Fill();
        uint32_t pid = 0;
        auto handle = FindRunningProgram(finder, name, pid);
        if (!handle) return;
        if (!told) Sys::Current().Notify(notice);
        told = true;
        // Sleeps in the kernel until the process ends; a handle that cannot
        // wait must still not turn this into a busy loop.
        if (!handle->Wait(-1)) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

void CloseRunningProgram(const std::string& name, int waitMs) {
    for (;;) {
        ProcessFinder finder = ProcessFinder::Fill();
        bool elevation = Sys::Current().ElevationFlag();
        uint32_t pid = 0;
        auto handle = FindRunningProgram(finder, name, pid);
        if (!handle) return;
        if (elevation) Sys::Current().BringToFront(pid);
        Sys::Current().RequestClose(pid);
        if (handle->Wait(waitMs)) return;
    }
}

}  // namespace App
