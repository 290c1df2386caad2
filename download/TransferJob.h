#pragma once
// The transfer job: fetches a DownloadList over HTTP with libcurl.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "data/DownloadList.h"
#include "data/Sha256.h"
#include "download/DownloadMsg.h"
#include "platform/TrustedFolder.h"

typedef void CURL;
struct curl_slist;

namespace Transfer {

struct DownloadWorker;

struct HeaderListFree {
    void operator()(curl_slist* list) const;
};

// Write target handed to libcurl.
struct TransferFile {
    std::string path;
    FILE* stream = nullptr;
    int32_t pendingBytes = 0;          // received but not yet reported
    DownloadWorker* worker = nullptr;  // for notify and cancel
    CURL* handle = nullptr;            // to read the answer's stated length
    int64_t written = 0;               // bytes this transfer has written
    int64_t sizeLimit = 0;             // the write callback refuses more; 0: no limit
    bool overLimit = false;            // the transfer was stopped at sizeLimit
    // Installers and patches keep the answer's validator beside them; a
    // resume that has one asks with If-Range. A 200 to a resume is the whole file.
    bool keepValidator = false;
    std::string validator;    // the kept one, sent with a resume; empty: no If-Range
    int64_t wholeSize = 0;    // sizeLimit once the file starts again; 0: no limit
    int64_t resumeFrom = 0;   // the bytes on disk when the transfer began
    bool ownRange = false;    // the resume sends its own Range and reads the answer itself
    bool answerSeen = false;  // the first chunk's answer has been looked at
    bool badRange = false;    // a 206 that does not start where the file ends
    bool restarted = false;   // the file began again from its first byte in this run
    std::unique_ptr<curl_slist, HeaderListFree> headers;  // lives as long as the transfer
    // An installer with a SHA256 to check is hashed as it arrives (see KnownDigest.h).
    std::unique_ptr<Data::Sha256> hash;
};

// Text downloads are small answers of the server; anything larger is not one.
inline constexpr int64_t kTextDownloadLimit = 64 * 1024;

// The slowest installer download that goes on: a tenth of what a 56 kbit/s
// dial-up line delivers, so a slow or shared modem still gets there, while a
// server that sends a byte now and then ends with problem 28 once it stays
// below this rate for installerFloorSeconds. The long window lets a line
// that drops for a minute (a modem retraining, a busy proxy) recover.
inline constexpr long kInstallerFloorBytesPerSecond = 500;

struct DownloadWorker {
    const Data::DownloadList* list = nullptr;
    bool notify = false;                       // progress records and WriteWithProgress
    Data::DownloadMsgSink* sink = nullptr;     // where records go when notify is on
    std::atomic<bool> cancelRequested{false};  // sticky cancel flag
    long lowSpeedTimeSeconds = 30;             // stall limit; tests shorten it
    long textDeadlineSeconds = 60;             // whole text download; tests shorten it
    long installerFloorSeconds = 90;           // installer below the floor rate; tests shorten it
    bool finishedPosted = false;               // a cancel posts the finished record once
};

// Fetches the list in its order and stops at the first failure. A list of
// text downloads only, without progress records (an update check), goes out
// at once (RunTextList) with the same outcome.
bool RunList(DownloadWorker& worker);
// At most this many connections to one server at once for a check.
inline constexpr long kCheckConnections = 6;
// Two or more text downloads, none with a patch or a base: RunTextList takes them.
bool FetchesAtOnce(const Data::DownloadList& list);
// Fetches every item of such a list concurrently, each over its own handle,
// into memory; the answers reach their files in the list's order, as RunList
// one by one would write them, up to the first failure, which decides.
bool RunTextList(DownloadWorker& worker);
// Fetches an item's patch or packed frame and rebuilds the installer from it;
// false (the patch gone, a "delta" event on record) when the whole installer
// must be fetched instead, or when the worker was cancelled.
bool FetchPatch(CURL* handle, DownloadWorker& worker, const Data::DownloadItem& item,
                const std::string& userAgent);
// Fetches one file; `problem` receives libcurl's number (0: none). Quiet: a
// failure shows no message (a patch, whose failure only means a fallback).
bool FetchItem(CURL* handle, DownloadWorker& worker, const Data::DownloadItem& item,
               const std::string& localPath, int32_t expectedSize, const std::string& userAgent,
               int* problem = nullptr, bool quiet = false);
CURL* ConfigureTransfer(CURL* handle, DownloadWorker& worker, const Data::DownloadItem& item,
                        TransferFile& file, int32_t proxyMode, const std::string& proxyAddress,
                        const std::string& userAgent);
size_t WritePlain(char* data, size_t size, size_t count, void* target);
size_t WriteWithProgress(char* data, size_t size, size_t count, void* target);
// The first line names the product; under a key the text is also signed and
// answers the item's request (Data::TextSignatureAccepted).
bool CheckTextDownload(const std::string& path, const Data::DownloadItem& item);
// Creates the missing folders above `path` and opens the last, walking by
// descriptor; refused when one of them is not a trusted folder.
Sys::TrustedFolder MakeParentDirectories(const std::string& path);
std::string UserAgentText(const Data::DownloadList& list);
// Size of a regular file at `path`; 0 for none, and for a link or anything else.
int64_t PresentSize(const std::string& path);
// Manifests and other small answers: "txt" in the local path, past its first character.
bool IsTextDownload(const std::string& localPath);

// Shows the problem message for a non-zero libcurl result through the platform.
void ShowProblem(int code);

}  // namespace Transfer
