#pragma once
// The tax program's settings file (ts07.cfg): the "updated" mark.

#include <string>

namespace Data {

// Path of ts07.cfg in the per-user data folder.
std::string ProgramSettingsPath();

// Sets bool:ui_prop_tessra_updated=true, in place or appended. False when the
// file cannot be read or written; the original is replaced atomically.
bool MarkProgramUpdated(const std::string& path);

}  // namespace Data
