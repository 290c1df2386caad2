#include "download/DeltaFetch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "download/InstallerCheck.h"
#include "download/Patch.h"
#include "platform/RegularFile.h"
#include "platform/Transcript.h"

namespace Transfer {

using Sys::Fd;

namespace {

DeltaOutcome Fallback(const Data::DownloadItem& item, const std::string& rebuilt,
                      std::string cause) {
    ::unlink(rebuilt.c_str());
    DiscardPatch(item);
    return {false, std::move(cause)};
}

}  // namespace

std::string PatchPath(const Data::DownloadItem& item) { return item.localPath + ".delta"; }

void DiscardPatch(const Data::DownloadItem& item) {
    ::unlink(PatchPath(item).c_str());
    ::unlink(RejectedPath(PatchPath(item)).c_str());
}

DeltaOutcome RebuildFromPatch(const Data::DownloadItem& item) {
    const std::string rebuilt = item.localPath + ".rebuild";
    ::unlink(rebuilt.c_str());
    // Neither the base nor the patch is read through a link planted in its place.
    Fd patch(Sys::OpenRegularFile(PatchPath(item), O_RDONLY));
    Fd base(item.basePath.empty() ? -1 : Sys::OpenRegularFile(item.basePath, O_RDONLY));
    if (patch.get() < 0 || (!item.basePath.empty() && base.get() < 0))
        return Fallback(item, rebuilt, "unreadable");
    struct stat st {};
    if (::fstat(patch.get(), &st) != 0 || st.st_size > item.patchSize)
        return Fallback(item, rebuilt, "patch-too-large");
    {
        Fd out(Sys::OpenRegularFile(rebuilt, O_WRONLY | O_CREAT | O_EXCL, 0644));
        if (out.get() < 0) return Fallback(item, rebuilt, "write-failed");
        const PatchCause cause = ApplyPatch(base.get(), patch.get(), out.get(), item.expectedSize);
        if (cause != PatchCause::Ok) return Fallback(item, rebuilt, PatchCauseName(cause));
    }
    // The same gate an installer passes, on the rebuilt bytes.
    const InstallerVerdict verdict =
        VerifyInstaller(rebuilt, {item.expectedSize, item.sha256}, true);
    if (!verdict.Ok()) return Fallback(item, rebuilt, CauseName(verdict.cause));
    if (std::rename(rebuilt.c_str(), item.localPath.c_str()) != 0)
        return Fallback(item, rebuilt, "write-failed");
    DiscardPatch(item);
    return {true, "rebuilt"};
}

void RecordDelta(const Data::DownloadItem& item, const DeltaOutcome& outcome, int64_t patchBytes) {
    Sys::Transcript::Write("delta", {{"product", item.productCode},
                                     {"base", item.basePath},
                                     {"patchBytes", patchBytes},
                                     {"outcome", outcome.applied ? "applied" : "fallback"},
                                     {"cause", outcome.cause}});
}

}  // namespace Transfer
