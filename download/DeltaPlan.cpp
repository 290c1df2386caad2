#include "download/DeltaPlan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "download/InstallerCheck.h"
#include "download/UpdateAddress.h"
#include "platform/CommandLine.h"
#include "platform/Platform.h"
#include "platform/Transcript.h"
#include "platform/TrustedFolder.h"

namespace Transfer {

namespace {

// "CODE", one or more digits, "LETTER" "upd.exe": the names update runs save under.
bool SavedForProduct(const std::string& name, const std::string& code, const std::string& letter) {
    const std::string tail = letter + "upd.exe";
    if (code.empty() || name.size() <= code.size() + tail.size() || !name.starts_with(code) ||
        !name.ends_with(tail))
        return false;
    const std::string digits = name.substr(code.size(), name.size() - code.size() - tail.size());
    return digits.find_first_not_of("0123456789") == std::string::npos;
}

struct Found {
    std::string path;
    struct timespec modified {};
};

}  // namespace

std::vector<std::string> BaseCandidates(const std::string& downloadPath, const std::string& code,
                                        const std::string& letter, bool purchase) {
    std::vector<Found> found;
    const std::string folderPath = Sys::FolderOf(downloadPath);
    const size_t slash = downloadPath.rfind('/');
    const std::string ownName = downloadPath.substr(slash == std::string::npos ? 0 : slash + 1);
    const Sys::TrustedFolder folder = Sys::OpenTrustedFolder(folderPath, false);
    if (!folder.Ok()) return {};
    const int listing = ::openat(folder.Fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listing < 0 ? nullptr : ::fdopendir(listing);
    if (!dir) {
        if (listing >= 0) ::close(listing);
        return {};
    }
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        const bool wanted =
            purchase ? name == ownName : name != ownName && SavedForProduct(name, code, letter);
        struct stat st {};
        if (!wanted || ::fstatat(::dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode))
            continue;
        found.push_back({(folderPath.empty() ? name : folderPath + "/" + name), st.st_mtim});
    }
    ::closedir(dir);
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        if (a.modified.tv_sec != b.modified.tv_sec) return a.modified.tv_sec > b.modified.tv_sec;
        if (a.modified.tv_nsec != b.modified.tv_nsec)
            return a.modified.tv_nsec > b.modified.tv_nsec;
        return a.path < b.path;
    });
    std::vector<std::string> out;
    for (const Found& f : found) {
        if (out.size() == kMaxBaseCandidates) break;
        out.push_back(f.path);
    }
    return out;
}

DeltaPick PickDelta(const Data::UpdateEntry& entry, const std::vector<std::string>& candidates) {
    DeltaPick pick;
    if (entry.sha256.empty() || entry.deltas.empty()) {
        pick.why = entry.deltas.empty() ? "no DELTA lines"
                                        : "no SHA256: a rebuilt file could not be checked";
        return pick;
    }
    if (candidates.empty()) {
        pick.why = "no earlier installer of the product on disk";
        return pick;
    }
    for (const std::string& candidate : candidates) {
        for (size_t i = 0; i < entry.deltas.size(); ++i) {
            const Data::DeltaOffer& offer = entry.deltas[i];
            // The size first: only a file of the base's size is hashed.
            if (VerifyInstaller(candidate, {offer.baseSize, offer.baseSha256}, false).Ok()) {
                pick.choice = static_cast<int>(i);
                pick.base = candidate;
                pick.why = candidate + " is the base of DELTA line " + std::to_string(i + 1);
                return pick;
            }
        }
    }
    pick.why = std::to_string(candidates.size()) +
               " earlier installer(s) on disk, none of the size and SHA-256 of a DELTA line";
    return pick;
}

DeltaPick PlanDelta(Data::UpdateEntry& entry) {
    entry.deltaChoice = -1;
    entry.deltaBase.clear();
    Data::DownloadList probe;
    AddUpdateItem(probe, entry, std::string(), std::string());
    if (probe.Count() == 0 || !entry.product) return {};
    const bool purchase = Sys::HasWord(Sys::Current().CommandLine(), "http");
    DeltaPick pick = PickDelta(entry, BaseCandidates(probe.Item(0).localPath, entry.product->code,
                                                     EditionLetter(entry.edition), purchase));
    entry.deltaChoice = pick.choice;
    entry.deltaBase = pick.base;
    // Offered but not usable here: on record, as a failed patch would be.
    if (!entry.deltas.empty() && pick.choice < 0) {
        Sys::Transcript::Write("delta", {{"product", entry.product->code},
                                         {"base", ""},
                                         {"patchBytes", 0},
                                         {"outcome", "fallback"},
                                         {"cause", entry.sha256.empty() ? "no-sha256" : "no-base"}});
    }
    return pick;
}

std::string SiblingAddress(const std::string& installerUrl, const std::string& name) {
    const size_t slash = installerUrl.rfind('/');
    return slash == std::string::npos ? name : installerUrl.substr(0, slash + 1) + name;
}

}  // namespace Transfer
