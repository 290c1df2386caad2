#pragma once
// Finding the tax program among the running processes, waiting for it to end
// and asking it to close.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace App {

// The tax program's executable, as its process is known.
inline constexpr const char* kTaxProgramName = "Tessra.exe";

// One search pass: the process list, taken afresh for every pass.
struct ProcessFinder {
    Sys::Platform* platform = nullptr;  // where the list came from; null: nothing to search
    std::vector<Sys::ProcessEntry> processes;

    static ProcessFinder Fill();  // through Sys::Current()
};

// The kernel's command name or the last part of argv[0] (after the last '/'
// or '\'), compared whole and without regard to case.
bool ProcessNameMatches(const Sys::ProcessEntry& entry, const std::string& name);

// The first listed process of that name that can still be waited on, with its id.
std::unique_ptr<Sys::WaitHandle> FindRunningProgram(ProcessFinder& finder, const std::string& name,
                                                    uint32_t& pid);

// Returns when a search pass no longer finds the program. Blocks on the found
// process between passes instead of searching without pause. When the program
// is found running, `notice` (when given) tells the user once what the wait is for.
void WaitForProgramExit(const std::string& name, const std::string& notice = {});

// Asks the program to close (bringing it to the front first when the
// elevation flag is set) and waits up to `waitMs` for it; asks again after a
// time-out, without limit. Returns when it has ended or is not found.
void CloseRunningProgram(const std::string& name, int waitMs = 60000);

}  // namespace App
