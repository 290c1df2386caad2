// Folders, command line, registry stand-in, elevation and connection state.
// (to be completed)
#include "platform/LinuxPlatform.h"

namespace Sys {
void LinuxPlatform::SetArguments(int, const char* const*) {}
void LinuxPlatform::SetCommandLine(const std::string& commandLine) { commandLine_ = commandLine; }
std::string LinuxPlatform::AppDataFolder() { return {}; }
std::string LinuxPlatform::CommonAppDataFolder() { return {}; }
std::string LinuxPlatform::CurrentFolder() { return {}; }
std::string LinuxPlatform::TempFolder() { return "/tmp"; }
std::string LinuxPlatform::OwnExecutableFolder() { return {}; }
std::string LinuxPlatform::CommandLine() { return commandLine_; }
std::string LinuxPlatform::ArgumentText() { return argumentText_; }
std::optional<std::string> LinuxPlatform::RegistryValue(const std::string&) { return {}; }
bool LinuxPlatform::ElevationFlag() { return false; }
bool LinuxPlatform::LanConnected() { return true; }
std::string LinuxPlatform::RegistryFilePath() { return {}; }
}  // namespace Sys
