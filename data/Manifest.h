#pragma once
// A downloaded version manifest and the update rule.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/DownloadList.h"
#include "data/Rollout.h"

namespace Data {

// A patch that turns an earlier installer into this manifest's installer:
// "DELTA=BASESIZE BASESHA256 PATCHSIZE PATCHNAME".
struct DeltaOffer {
    int64_t baseSize = 0;
    std::string baseSha256;  // lower-case hex
    int64_t patchSize = 0;
    std::string patchName;  // a bare file name beside the installer on the server
};

// The whole installer as one zstd frame: "PACKED=PACKEDSIZE PACKEDNAME".
struct PackedOffer {
    int64_t size = 0;
    std::string name;
};

inline constexpr size_t kMaxDeltaOffers = 16;

// Nothing for a malformed line: sizes above 0, 64 hex digits (either case),
// a name of letters, digits, ".", "-" and "_" that is not all dots.
std::optional<DeltaOffer> ParseDeltaOffer(std::string_view value);
std::optional<PackedOffer> ParsePackedOffer(std::string_view value);

struct UpdateEntry {
    const ProductInfo* product = nullptr;  // into the list's catalogue; null when unknown
    int32_t year = 0;
    int32_t edition = 7;
    int32_t offeredVersion = 0;
    std::string message;
    int32_t size = 0;
    int32_t installedVersion = -1;
    std::string sha256;  // "SHA256" as written (hex of the installer's SHA-256); empty when absent
    std::vector<DeltaOffer> deltas;     // every usable DELTA line, in order, at most 16
    std::optional<PackedOffer> packed;  // the last usable PACKED line
    std::optional<Rollout> rollout;     // the last well-formed ROLLOUT line

    // What the update check chose to fetch (Transfer::PlanDelta): the index of
    // the DELTA line whose base is on disk, and that base; else -1.
    int deltaChoice = -1;
    std::string deltaBase;
};

// The bytes the download of this entry will really fetch: the chosen patch,
// else the packed frame, else the installer. A rebuilt file must be checkable,
// so without SHA256 only the installer counts.
int64_t BytesToFetch(const UpdateEntry& entry);

// Lists of entries handed to screens refer to entries owned by the flows.
using EntryList = std::vector<UpdateEntry*>;

// Nothing when the file cannot be opened.
std::unique_ptr<UpdateEntry> ReadManifest(const std::string& path, const DownloadList& list);

// Offered version greater than installed version.
inline bool OffersUpdate(const UpdateEntry& entry) {
    return entry.offeredVersion > entry.installedVersion;
}

}  // namespace Data
