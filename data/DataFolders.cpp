#include "data/DataFolders.h"

#include "data/Text.h"
#include "platform/Platform.h"

namespace Data {

std::string UserDataPath(std::string_view name) {
    return Sys::Current().AppDataFolder() + kTessraSuffix + std::string(name);
}

std::string CommonDataPath(std::string_view name) {
    return Sys::Current().CommonAppDataFolder() + kTessraSuffix + std::string(name);
}

}  // namespace Data
