#pragma once
// Paths under the two data folders: folder + "/Tessra/2007/" + name.

#include <string>
#include <string_view>

namespace Data {

// Per-user application data folder + "/Tessra/2007/" + name.
std::string UserDataPath(std::string_view name);
// All-users application data folder + "/Tessra/2007/" + name.
std::string CommonDataPath(std::string_view name);

}  // namespace Data
