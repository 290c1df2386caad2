// Processes, program starts, web pages, the single-instance lock.
// (to be completed)
#include "platform/LinuxPlatform.h"

namespace Sys {
bool LinuxPlatform::OpenUrl(const std::string&) { return false; }
void LinuxPlatform::Beep() {}
std::vector<ProcessEntry> LinuxPlatform::ListProcesses() { return {}; }
std::unique_ptr<WaitHandle> LinuxPlatform::OpenProcess(uint32_t) { return nullptr; }
void LinuxPlatform::BringToFront(uint32_t) {}
void LinuxPlatform::RequestClose(uint32_t) {}
std::unique_ptr<WaitHandle> LinuxPlatform::Start(const StartRequest&) { return nullptr; }
bool LinuxPlatform::AcquireSingleInstance(const std::string&) { return true; }
}  // namespace Sys
