#include "download/TransferJob.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <vector>

#include "data/ProblemText.h"
#include "data/Proxy.h"
#include "data/SignedText.h"
#include "download/DeltaFetch.h"
#include "download/InstallerCheck.h"
#include "download/KnownDigest.h"
#include "download/ProxyLogin.h"
#include "download/ResumeValidator.h"
#include "platform/Platform.h"
#include "platform/RegularFile.h"
#include "platform/TrustedFolder.h"

namespace Transfer {
using namespace Data;

namespace {

// Title of the message boxes that report a refused option.
constexpr const char* kAppTitle = "Tessra Software Manager";

// Sizes travel as signed 32-bit numbers; files above 2 GiB are clamped, never wrapped.
int32_t Clamp32(int64_t value) {
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

}  // namespace

// Size of the local file; a missing file counts as 0, and so does anything
// that is not a regular file: a link to a big file is no complete download.
int64_t PresentSize(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    return static_cast<int64_t>(st.st_size);
}

// "txt" at an index greater than 0: manifests and other small answers of the server.
bool IsTextDownload(const std::string& localPath) {
    size_t pos = localPath.find("txt");
    return pos != std::string::npos && pos > 0;
}

namespace {

// Built once and kept for the whole process: every text download of any handle
// may point at it.
curl_slist* FreshCopyHeaders() {
    static curl_slist* const headers = [] {
        curl_slist* list = curl_slist_append(nullptr, "Cache-Control: no-cache");
        curl_slist* both = list ? curl_slist_append(list, "Pragma: no-cache") : nullptr;
        if (!both) curl_slist_free_all(list);
        return both;
    }();
    return headers;
}

void Post(DownloadWorker& worker, std::unique_ptr<DownloadMsg> msg) {
    if (worker.notify && worker.sink) worker.sink->Post(std::move(msg));
}

// A cancel ends the record sequence with the finished record, once, whichever
// callback notices it first.
void PostCancelFinished(DownloadWorker& worker) {
    if (worker.finishedPosted) return;
    worker.finishedPosted = true;
    Post(worker, MakeFinishedMsg());
}

bool Cancelled(const DownloadWorker* worker) {
    return worker && worker->cancelRequested.load(std::memory_order_relaxed);
}

void OptionFailed(const char* text) {
    Sys::Current().ShowMessage(text, kAppTitle, Sys::MessageIcon::None);
}

template <typename T>
void SetOption(CURL* handle, CURLoption option, T value, const char* failure) {
    if (curl_easy_setopt(handle, option, value) != CURLE_OK) OptionFailed(failure);
}

// Polled by libcurl about once a second and on every loop turn, also while no
// byte arrives, so a stalled transfer stops soon after a cancel.
int CancelPoll(void* target, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* file = static_cast<TransferFile*>(target);
    if (!Cancelled(file->worker)) return 0;
    PostCancelFinished(*file->worker);
    return 1;
}

// Only the download itself is written: never through a link planted in its
// place, never into a FIFO (O_NONBLOCK keeps the open from blocking) or a
// file that has another name elsewhere.
bool OpenStream(TransferFile& file) {
    if (file.stream) return true;
    const int fd = Sys::OpenRegularFile(file.path, O_WRONLY | O_APPEND | O_CREAT, 0644,
                                        Sys::LinkRule::Refuse, Sys::NameRule::Single);
    if (fd < 0) return false;
    file.stream = ::fdopen(fd, "ab");
    if (!file.stream) {
        ::close(fd);
        return false;
    }
    // Chunks go straight to the file, one write each: libcurl's buffer is the only one.
    std::setvbuf(file.stream, nullptr, _IONBF, 0);
    return true;
}

constexpr size_t kWriteFailed = static_cast<size_t>(-1);

// Looks at the answer before its first byte is written. A resume takes a
// 206 only for the bytes it asked for; anything else is the whole file,
// changed on the server or from a server without ranges, which then replaces
// the partial one. A file that begins keeps the answer's validator, on disk
// before any byte it vouches for.
bool BeginAnswer(TransferFile& file) {
    file.answerSeen = true;
    if (!file.keepValidator || !file.handle) return true;
    if (file.ownRange) {
        long code = 0;
        curl_easy_getinfo(file.handle, CURLINFO_RESPONSE_CODE, &code);
        if (code == 206) {
            if (AnswerRangeStart(file.handle) == file.resumeFrom) return true;
            file.badRange = true;
            return false;
        }
        if (!OpenStream(file) || ::ftruncate(::fileno(file.stream), 0) != 0) return false;
        file.sizeLimit = file.wholeSize;
        file.written = 0;
        file.restarted = true;
        if (file.hash) *file.hash = Data::Sha256();
    }
    const std::string validator = AnswerValidator(file.handle);
    if (validator.empty()) {
        RemoveValidator(file.path);
        return true;
    }
    return SaveValidator(file.path, validator);
}

// A 416 to the resume of a file shorter than the manifest's size: the
// server's file ends where ours does (an encoded answer kept as it came, say).
bool RangeRefused(CURL* handle, const TransferFile& file, CURLcode result, int32_t expectedSize) {
    if (!file.ownRange || result != CURLE_HTTP_RETURNED_ERROR || expectedSize <= 0 ||
        file.resumeFrom >= expectedSize)
        return false;
    long code = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &code);
    return code == 416;
}

// Refuses a chunk that would take the transfer past its size limit, and
// before the first one an answer whose stated length already does. (libcurl's
// own size limit would also refuse redirect and error answers by their length.)
bool WithinLimit(TransferFile& file, size_t size, size_t count) {
    if (file.sizeLimit <= 0) return true;
    curl_off_t stated = -1;
    if (file.written == 0 && file.handle)
        curl_easy_getinfo(file.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &stated);
    const int64_t chunk = static_cast<int64_t>(size) * static_cast<int64_t>(count);
    if (stated <= file.sizeLimit && file.written + chunk <= file.sizeLimit) return true;
    file.overLimit = true;
    return false;
}

size_t WriteChunk(TransferFile& file, const char* data, size_t size, size_t count) {
    const size_t written = std::fwrite(data, size, count, file.stream) * size;
    file.written += static_cast<int64_t>(written);
    if (file.hash) file.hash->Update(data, written);
    return written;
}

// The hash of a download starts with what a resume already has on disk.
std::unique_ptr<Data::Sha256> HashOfPresentBytes(const std::string& path, int64_t present) {
    auto hash = std::make_unique<Data::Sha256>();
    if (present <= 0) return hash;
    Sys::Fd fd(Sys::OpenRegularFile(path, O_RDONLY));
    std::vector<char> block(Data::kHashBlockBytes);
    int64_t done = 0;
    while (fd.get() >= 0 && done < present) {
        const ssize_t got = ::read(fd.get(), block.data(),
                                   static_cast<size_t>(std::min<int64_t>(
                                       present - done, static_cast<int64_t>(block.size()))));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        hash->Update(block.data(), static_cast<size_t>(got));
        done += got;
    }
    return done == present ? std::move(hash) : nullptr;
}

void InitOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

}  // namespace

std::string UserAgentText(const DownloadList& list) {
    return "TessraSWM " + list.GetValue("prom") + " " + list.GetValue("camp");
}

void ShowProblem(int code) {
    ProblemMessage message = ProblemFor(code);
    Sys::Current().ShowMessage(message.text, message.title, Sys::MessageIcon::Exclamation);
}

void HeaderListFree::operator()(curl_slist* list) const { curl_slist_free_all(list); }

size_t WritePlain(char* data, size_t size, size_t count, void* target) {
    auto* file = static_cast<TransferFile*>(target);
    if (!file->answerSeen && !BeginAnswer(*file)) return kWriteFailed;
    if (!WithinLimit(*file, size, count) || !OpenStream(*file)) return kWriteFailed;
    return WriteChunk(*file, data, size, count);
}

size_t WriteWithProgress(char* data, size_t size, size_t count, void* target) {
    auto* file = static_cast<TransferFile*>(target);
    if (Cancelled(file->worker)) {
        PostCancelFinished(*file->worker);
        return kWriteFailed;
    }
    if (!file->answerSeen && !BeginAnswer(*file)) return kWriteFailed;
    if (!WithinLimit(*file, size, count) || !OpenStream(*file)) return kWriteFailed;
    const int64_t chunk = static_cast<int64_t>(size) * static_cast<int64_t>(count);
    file->pendingBytes = Clamp32(static_cast<int64_t>(file->pendingBytes) + chunk);
    if (file->worker) {
        Post(*file->worker,
             std::make_unique<InProgressDownloadMsg>(file->path, file->pendingBytes));
    }
    file->pendingBytes = 0;
    return WriteChunk(*file, data, size, count);
}

bool CheckTextDownload(const std::string& path, const DownloadItem& item) {
    if (path.find(".txt") == std::string::npos) return true;
    FILE* in = std::fopen(path.c_str(), "r");
    if (!in) return false;
    char line[255];
    bool any = false, plausible = false;
    while (std::fgets(line, sizeof line, in)) {
        if (!any) plausible = std::strstr(line, "roduct") != nullptr;
        any = true;
    }
    std::fclose(in);
    return any && plausible && Data::TextSignatureAccepted(path, item);
}

Sys::TrustedFolder MakeParentDirectories(const std::string& path) {
    // Not writable by other users: they could plant links or swap installers.
    return Sys::OpenTrustedFolder(Sys::FolderOf(path), true, 0755);
}

CURL* ConfigureTransfer(CURL* handle, DownloadWorker& worker, const DownloadItem& item,
                        TransferFile& file, int32_t proxyMode, const std::string& proxyAddress,
                        const std::string& userAgent) {
    if (!handle) return nullptr;
    const curl_off_t present = PresentSize(file.path);
    const curl_write_callback writeFunction = worker.notify ? WriteWithProgress : WritePlain;

    curl_easy_setopt(handle, CURLOPT_USERAGENT, userAgent.c_str());
    SetOption(handle, CURLOPT_CRLF, 0L, "setting carriage return failed");
    SetOption(handle, CURLOPT_WRITEDATA, static_cast<void*>(&file), "ftpfile failed");
    SetOption(handle, CURLOPT_CONNECTTIMEOUT, 30L, "Connecttimeout failed");
    SetOption(handle, CURLOPT_FOLLOWLOCATION, 1L, "follow location failed");
    // Plain web requests only, also where a redirect points, and no redirect loop.
    SetOption(handle, CURLOPT_PROTOCOLS_STR, "http,https", "protocols failed");
    SetOption(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https", "redirect protocols failed");
    SetOption(handle, CURLOPT_MAXREDIRS, 20L, "max redirects failed");
    // Fewer receive calls; libcurl still hands the write callback at most
    // CURL_MAX_WRITE_SIZE (16384) bytes at a time, so progress records stay that small.
    SetOption(handle, CURLOPT_BUFFERSIZE, 524288L, "no buffer failed");
    // The handle is reused: each transfer sets all three bounds. A manifest is
    // fetched before any screen, where nothing can cancel it, so it gets a
    // deadline; an installer may take hours on a slow line, but not at a trickle.
    const bool text = IsTextDownload(file.path);
    SetOption(handle, CURLOPT_TIMEOUT, text ? worker.textDeadlineSeconds : 0L, "timeout failed");
    SetOption(handle, CURLOPT_LOW_SPEED_TIME,
              text ? worker.lowSpeedTimeSeconds : worker.installerFloorSeconds,
              "speed time failed");
    SetOption(handle, CURLOPT_LOW_SPEED_LIMIT, text ? 1L : kInstallerFloorBytesPerSecond,
              "speed limit failed");
    SetOption(handle, CURLOPT_FAILONERROR, 1L, "Set fail on error failed");
    SetOption(handle, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1),
              "HTTP version 1.1 failed");
    // A resume asks for the rest itself and reads the answer (BeginAnswer):
    // libcurl's own resume fails a 200 with problem 33 on every run, where a
    // server without ranges has just sent the whole file. With a kept
    // validator it asks for the rest only if the file is still the same.
    file.resumeFrom = present;
    file.ownRange = !text && present > 0;
    file.headers.reset();
    if (file.ownRange && !file.validator.empty()) {
        file.headers.reset(curl_slist_append(nullptr, ("If-Range: " + file.validator).c_str()));
        if (!file.headers) return nullptr;
    }
    const std::string range = file.ownRange ? std::to_string(present) + "-" : std::string();
    SetOption(handle, CURLOPT_RESUME_FROM_LARGE, curl_off_t{0}, "resume failed");
    SetOption(handle, CURLOPT_RANGE, file.ownRange ? range.c_str() : nullptr,
              "disabling range failed");
    // Asks for no encoding, and decodes what a server sends encoded all the
    // same: kept as it came, a compressed installer would be too small for good.
    SetOption(handle, CURLOPT_ACCEPT_ENCODING, "identity", "encoding failed");
    SetOption(handle, CURLOPT_WRITEFUNCTION, writeFunction, "write function failed");
    // Without a proxy option libcurl would take one from the http_proxy
    // environment; the proxy is set always, also to none. Credentials in its
    // address go to libcurl apart from it, for whatever scheme the proxy asks.
    if (!ProxyLogin(proxyMode, proxyAddress).Apply(handle))
        OptionFailed("setting proxy server failed");
    // The choice above is the whole answer: a no_proxy in the environment must
    // not undo it (the desktop lookup has applied it already).
    SetOption(handle, CURLOPT_NOPROXY, "", "no proxy list failed");
    // A caching proxy must never hide a new manifest: text downloads ask for a
    // fresh copy. The handle is reused, so other transfers set theirs or none.
    SetOption(handle, CURLOPT_HTTPHEADER, text ? FreshCopyHeaders() : file.headers.get(),
              "headers failed");
    SetOption(handle, CURLOPT_URL, item.url.c_str(), "url failed");

    // The worker's cancel is also polled while no data arrives.
    if (worker.notify) {
        SetOption(handle, CURLOPT_XFERINFOFUNCTION, CancelPoll, "progress function failed");
        SetOption(handle, CURLOPT_XFERINFODATA, static_cast<void*>(&file), "progress data failed");
        SetOption(handle, CURLOPT_NOPROGRESS, 0L, "progress failed");
    }
    // Timeouts must not raise signals in a program with a worker thread.
    SetOption(handle, CURLOPT_NOSIGNAL, 1L, "no signal failed");
    return handle;
}

bool FetchItem(CURL* handle, DownloadWorker& worker, const DownloadItem& item,
               const std::string& localPath, int32_t expectedSize, const std::string& userAgent,
               int* problem, bool quiet) {
    const bool text = IsTextDownload(localPath);
    if (text) ::unlink(localPath.c_str());  // text downloads are always fetched whole

    // Only a known, positive size can make a file complete: a negative one
    // would otherwise pass for a finished download without any transfer.
    if (expectedSize > 0 && PresentSize(localPath) >= static_cast<int64_t>(expectedSize)) {
        if (!text) RemoveValidator(localPath);
        return true;
    }
    if (Cancelled(&worker)) {
        PostCancelFinished(worker);
        return false;
    }

    const ProxyChoice proxy = ChooseProxy();
    TransferFile file;
    file.path = localPath;
    file.worker = &worker;
    file.handle = handle;
    if (!text) {
        const std::optional<std::string> kept = ReadValidator(localPath);
        if (PresentSize(localPath) == 0) {
            RemoveValidator(localPath);  // nothing left to vouch for
        } else if (kept && kept->empty()) {
            // Bytes whose origin cannot be told: start afresh rather than mix.
            ::unlink(localPath.c_str());
            RemoveValidator(localPath);
        } else if (kept) {
            file.validator = *kept;
        }
        file.keepValidator = true;
        file.wholeSize = expectedSize > 0 ? expectedSize : 0;
    }
    // The installer itself (not a patch) is hashed as it arrives, so the check
    // before it runs need not read it again.
    if (!text && !item.sha256.empty() && localPath == item.localPath && expectedSize > 0)
        file.hash = HashOfPresentBytes(localPath, PresentSize(localPath));
    // An installer ends at the manifest's size, counting what a resume already
    // has: a server that never stops must not fill the disk.
    if (text)
        file.sizeLimit = kTextDownloadLimit;
    else if (expectedSize > 0)
        file.sizeLimit = expectedSize - PresentSize(localPath);
    if (!ConfigureTransfer(handle, worker, item, file, proxy.mode, proxy.address, userAgent)) {
        return false;
    }

    CURLcode result = curl_easy_perform(handle);
    // A proxy that asks for a password: the same transfer again with other
    // credentials (its 407 wrote nothing), until it takes some or none are left.
    ProxyLogin login(proxy.mode, proxy.address);
    while (!Cancelled(&worker) && login.RetryAfter(handle, result))
        result = curl_easy_perform(handle);
    if (!Cancelled(&worker)) login.Settle(handle, result);
    // Asking for the rest cannot work: the whole file again, from its first byte, once.
    if (!Cancelled(&worker) && RangeRefused(handle, file, result, expectedSize)) {
        if (file.stream) std::fclose(file.stream);
        file.stream = nullptr;
        ::unlink(localPath.c_str());
        RemoveValidator(localPath);
        file.validator.clear();
        file.answerSeen = false;
        file.written = 0;
        file.sizeLimit = file.wholeSize;
        file.restarted = true;
        if (file.hash) *file.hash = Data::Sha256();
        if (!ConfigureTransfer(handle, worker, item, file, proxy.mode, proxy.address, userAgent))
            return false;
        result = curl_easy_perform(handle);
    }
    // Longer than the manifest promised: libcurl's number for a file too large.
    const bool tooLong = !text && file.overLimit;
    if (tooLong) result = CURLE_FILESIZE_EXCEEDED;
    // Other bytes than asked for: the server's answer cannot be resumed from.
    if (file.badRange) result = CURLE_RANGE_ERROR;
    // Whatever ended it, a cancelled transfer counts as the write error of a
    // stopped write and is never reported to the user.
    if (result != CURLE_OK && Cancelled(&worker)) {
        result = CURLE_WRITE_ERROR;
        PostCancelFinished(worker);
    } else if (result != CURLE_OK && !text && !quiet) {
        ShowProblem(static_cast<int>(result));
    }

    if (file.stream) {
        if (std::fclose(file.stream) != 0 && result == CURLE_OK && !text) {
            // Data that never reached the disk is a write failure, not a success.
            result = CURLE_WRITE_ERROR;
            if (!quiet) ShowProblem(static_cast<int>(result));
        }
        file.stream = nullptr;
    }
    if (problem) *problem = static_cast<int>(result);

    // The first SIZE bytes of a longer answer must never pass for the
    // installer on a later run: set aside at once, so the next run starts afresh.
    if (tooLong) std::rename(localPath.c_str(), RejectedPath(localPath).c_str());
    // Whole again and still short: the next run must not ask for the rest of
    // it (a 416 or the same short answer, on every run), so it starts afresh.
    const bool shortAgain = !text && file.restarted && result == CURLE_OK && expectedSize > 0 &&
                            PresentSize(localPath) < expectedSize;
    if (shortAgain) std::rename(localPath.c_str(), RejectedPath(localPath).c_str());
    if (file.hash && result == CURLE_OK && PresentSize(localPath) == expectedSize) {
        Sys::Fd done(Sys::OpenRegularFile(localPath, O_RDONLY));
        if (done.get() >= 0) RememberDigest(localPath, done.get(), file.hash->HexDigest());
    }
    // The validator stays only beside a partial file, for the next resume.
    if (!text &&
        (tooLong || shortAgain ||
         (result == CURLE_OK && (expectedSize <= 0 || PresentSize(localPath) >= expectedSize))))
        RemoveValidator(localPath);
    // An answer past the bound, or cut short (its deadline, a dropped
    // connection), is no text download, whatever its first lines say.
    if (text && (file.overLimit || result != CURLE_OK)) {
        ::unlink(localPath.c_str());
        return false;
    }
    if (text) return CheckTextDownload(localPath, item);
    return result == CURLE_OK;
}

bool FetchPatch(CURL* handle, DownloadWorker& worker, const DownloadItem& item,
                const std::string& userAgent) {
    DownloadItem patch = item;
    patch.url = item.patchUrl;
    const std::string path = PatchPath(item);
    int problem = 0;
    const bool fetched =
        FetchItem(handle, worker, patch, path, Clamp32(item.patchSize), userAgent, &problem, true);
    if (!fetched && Cancelled(&worker)) return false;
    const int64_t patchBytes = std::max(PresentSize(path), PresentSize(RejectedPath(path)));
    DeltaOutcome outcome;
    if (fetched) {
        outcome = RebuildFromPatch(item);
    } else {
        DiscardPatch(item);
        RemoveValidator(path);
        outcome.cause = "problem-" + std::to_string(problem);
    }
    RecordDelta(item, outcome, patchBytes);
    return outcome.applied;
}

bool RunList(DownloadWorker& worker) {
    if (!worker.list) return false;
    InitOnce();
    worker.finishedPosted = false;
    // A check waits on round trips, not on bytes: its manifests go out together.
    if (!worker.notify && FetchesAtOnce(*worker.list)) return RunTextList(worker);
    CURL* handle = curl_easy_init();
    const DownloadList& list = *worker.list;

    for (int index = 0; index < list.Count(); ++index) {
        const DownloadItem& item = list.Item(index);
        const std::string userAgent = UserAgentText(list);
        const int64_t present = PresentSize(item.localPath);
        Post(worker, std::make_unique<StartDownloadMsg>(item.localPath, Clamp32(present),
                                                        item.expectedSize));
        // A purchase's base lies at the download path: no finished download.
        const bool baseInPlace = !item.basePath.empty() && item.basePath == item.localPath;
        if (item.expectedSize > 0 && present >= static_cast<int64_t>(item.expectedSize) &&
            !baseInPlace)
            continue;

        // A download never goes into, or through, a folder another user could
        // have planted; a folder that cannot be made fails at the file, as always.
        const Sys::TrustedFolder folder = MakeParentDirectories(item.localPath);
        if (Sys::Unsafe(folder.Fault())) {
            Sys::ReportUnsafeFolder(folder);
            if (handle) curl_easy_cleanup(handle);
            return false;
        }
        if (!item.patchUrl.empty()) {
            if (FetchPatch(handle, worker, item, userAgent)) continue;
            if (Cancelled(&worker)) {  // the partial patch stays for the next run
                if (handle) curl_easy_cleanup(handle);
                return false;
            }
            // The whole installer, as without a patch; never resumed from the base.
            if (baseInPlace) ::unlink(item.localPath.c_str());
        }
        if (!FetchItem(handle, worker, item, item.localPath, item.expectedSize, userAgent)) {
            if (handle) curl_easy_cleanup(handle);
            return false;
        }
    }

    if (!worker.finishedPosted) {
        worker.finishedPosted = true;
        Post(worker, MakeFinishedMsg());
    }
    if (handle) curl_easy_cleanup(handle);
    return true;
}

}  // namespace Transfer
