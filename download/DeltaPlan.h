#pragma once
// Choosing what an update fetches: a patch against an earlier installer that
// this program saved on disk before, else the packed frame, else the whole
// installer. Chosen during the update check, so the screens can show and
// estimate the bytes that will really be fetched.

#include <string>
#include <vector>

#include "data/Manifest.h"

namespace Transfer {

inline constexpr size_t kMaxBaseCandidates = 8;

// Earlier installers of the product beside `downloadPath`, newest first, at
// most kMaxBaseCandidates: regular files (never links) that an update run saved
// for the same product and edition ("US100101pupd.exe" for code "US", letter
// "p"), the download path itself excluded; for a purchase, the file at the
// download path itself (the state installer bought before).
std::vector<std::string> BaseCandidates(const std::string& downloadPath, const std::string& code,
                                        const std::string& letter, bool purchase);

struct DeltaPick {
    int choice = -1;   // index into the entry's deltas; -1: none fits
    std::string base;  // the base file
    std::string why;   // one line for people: what was looked at and decided
};

// The newest candidate whose size and SHA-256 are those of one of the entry's
// DELTA lines (read without following a link), and that line.
DeltaPick PickDelta(const Data::UpdateEntry& entry, const std::vector<std::string>& candidates);

// The download path of an entry that offers an update (as the progress screen
// saves it), and the pick for it; sets the entry's deltaChoice and deltaBase.
// Nothing is chosen without SHA256 or DELTA lines.
DeltaPick PlanDelta(Data::UpdateEntry& entry);

// The address of a file beside the installer on the server: the installer's
// address with its last segment replaced by `name`.
std::string SiblingAddress(const std::string& installerUrl, const std::string& name);

}  // namespace Transfer
