#pragma once
// Records the download worker posts to the progress screen, in posting order.

#include <cstdint>
#include <memory>
#include <string>

namespace Data {

// Name of the registered record type (a registered window message originally).
inline constexpr const char* kDownloadMsgName = "regmsg_DLMGRDLG_INET_DOWNLOAD";

enum DownloadMsgKind : int32_t { kStartKind = 1, kProgressKind = 2, kFinishedKind = 3 };

struct DownloadMsg {
    DownloadMsg(std::string t, int32_t k) : text(std::move(t)), kind(k) {}
    virtual ~DownloadMsg() = default;
    std::string text;  // a copy of the local path, or empty
    int32_t kind;
};

struct StartDownloadMsg : DownloadMsg {
    StartDownloadMsg(std::string path, int32_t present, int32_t expected)
        : DownloadMsg(std::move(path), kStartKind),
          presentBytes(present),
          expectedBytes(expected) {}
    int32_t presentBytes;
    int32_t expectedBytes;
};

struct InProgressDownloadMsg : DownloadMsg {
    InProgressDownloadMsg(std::string path, int32_t chunk)
        : DownloadMsg(std::move(path), kProgressKind), chunkBytes(chunk) {}
    int32_t chunkBytes;
};

// The finished record: a plain DownloadMsg of kind 3 with an empty text.
inline std::unique_ptr<DownloadMsg> MakeFinishedMsg() {
    return std::make_unique<DownloadMsg>(std::string(), kFinishedKind);
}

// Receiver of records. Post is called on the worker thread, must keep posting
// order, and takes ownership. Receivers free records they can no longer handle.
class DownloadMsgSink {
  public:
    virtual ~DownloadMsgSink() = default;
    virtual void Post(std::unique_ptr<DownloadMsg> msg) = 0;
};

}  // namespace Data
