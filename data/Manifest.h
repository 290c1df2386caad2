#pragma once
// A downloaded version manifest and the update rule.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "data/DownloadList.h"

namespace Data {

struct UpdateEntry {
    const ProductInfo* product = nullptr;  // into the list's catalogue; null when unknown
    int32_t year = 0;
    int32_t edition = 7;
    int32_t offeredVersion = 0;
    std::string message;
    int32_t size = 0;
    int32_t installedVersion = -1;
    std::string sha256;  // "SHA256" as written (hex of the installer's SHA-256); empty when absent
};

// Lists of entries handed to screens refer to entries owned by the flows.
using EntryList = std::vector<UpdateEntry*>;

// Nothing when the file cannot be opened.
std::unique_ptr<UpdateEntry> ReadManifest(const std::string& path, const DownloadList& list);

// Offered version greater than installed version.
inline bool OffersUpdate(const UpdateEntry& entry) {
    return entry.offeredVersion > entry.installedVersion;
}

}  // namespace Data
