#pragma once
// Rebuilding an installer from a downloaded patch (or packed frame) and the
// base on disk. The rebuilt file replaces the download path only after its
// size and SHA-256 match the manifest; any doubt leaves nothing behind but
// what was there, and the whole installer is fetched as before.

#include <cstdint>
#include <string>

#include "data/DownloadList.h"

namespace Transfer {

// Where the patch of an item is downloaded (and resumed): the download path + ".delta".
std::string PatchPath(const Data::DownloadItem& item);

struct DeltaOutcome {
    bool applied = false;
    std::string
        cause;  // "rebuilt", or why it fell back: "problem-22", "corrupt", "hash-mismatch", ...
};

// Decodes the downloaded patch into a temporary file beside the download path,
// checks it against the item's size and SHA-256 and renames it to the download
// path. On failure the patch and the temporary file are deleted.
DeltaOutcome RebuildFromPatch(const Data::DownloadItem& item);

// Deletes the patch (and one set aside as too long) after a failed fetch.
void DiscardPatch(const Data::DownloadItem& item);

// The "delta" event of the transcript and the support log: product, base file,
// patch bytes on disk, outcome "applied" or "fallback", cause.
void RecordDelta(const Data::DownloadItem& item, const DeltaOutcome& outcome, int64_t patchBytes);

}  // namespace Transfer
