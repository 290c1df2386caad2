// The update check without a wait on every round trip: its manifests go out
// together over a few connections, and what they bring reaches the disk in the
// list's order, exactly as RunList one by one writes it.

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "data/Proxy.h"
#include "download/ProxyLogin.h"
#include "download/TransferJob.h"
#include "platform/Platform.h"
#include "platform/RegularFile.h"
#include "platform/TrustedFolder.h"

namespace Transfer {

namespace {

struct MultiFree {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using Multi = std::unique_ptr<CURLM, MultiFree>;

// One text download in flight: its own handle and write target, its answer
// kept in memory until the items before it are done.
struct Fetch {
    Fetch() = default;
    Fetch(const Fetch&) = delete;
    Fetch& operator=(const Fetch&) = delete;
    ~Fetch() {
        if (added) curl_multi_remove_handle(multi, handle);
        if (file.stream) std::fclose(file.stream);
        std::free(buffer);
        if (handle) curl_easy_cleanup(handle);
    }

    CURLM* multi = nullptr;
    CURL* handle = nullptr;
    bool added = false;
    Data::ProxyChoice proxy;
    TransferFile file;
    char* buffer = nullptr;  // the answer, once the stream is closed
    size_t size = 0;
    CURLcode result = CURLE_OK;
    bool done = false;
};

// As RunList: a file that has its known size already is not fetched.
bool AlreadyComplete(const Data::DownloadItem& item) {
    return item.expectedSize > 0 && PresentSize(item.localPath) >= item.expectedSize;
}

// Starts the item's transfer on the multi handle; nothing when it cannot be
// (its turn then fetches it one by one).
std::unique_ptr<Fetch> Start(CURLM* multi, DownloadWorker& worker, const Data::DownloadItem& item,
                             const std::string& userAgent) {
    auto fetch = std::make_unique<Fetch>();
    fetch->multi = multi;
    fetch->handle = curl_easy_init();
    fetch->proxy = Data::ChooseProxy();
    fetch->file.path = item.localPath;
    fetch->file.worker = &worker;
    fetch->file.handle = fetch->handle;
    fetch->file.sizeLimit = kTextDownloadLimit;
    // Already open: the write callbacks write here instead of the file.
    fetch->file.stream = open_memstream(&fetch->buffer, &fetch->size);
    if (!fetch->handle || !fetch->file.stream ||
        !ConfigureTransfer(fetch->handle, worker, item, fetch->file, fetch->proxy.mode,
                           fetch->proxy.address, userAgent))
        return nullptr;
    curl_easy_setopt(fetch->handle, CURLOPT_PRIVATE, static_cast<void*>(fetch.get()));
    if (curl_multi_add_handle(multi, fetch->handle) != CURLM_OK) return nullptr;
    fetch->added = true;
    return fetch;
}

// Marks the transfers libcurl has finished; how many there were.
int CollectFinished(CURLM* multi) {
    int finished = 0;
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
        if (message->msg != CURLMSG_DONE) continue;
        void* owner = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &owner);
        auto* fetch = static_cast<Fetch*>(owner);
        fetch->result = message->data.result;
        curl_multi_remove_handle(multi, fetch->handle);
        fetch->added = false;
        if (fetch->file.stream) std::fclose(fetch->file.stream);  // buffer and size now final
        fetch->file.stream = nullptr;
        fetch->done = true;
        ++finished;
    }
    return finished;
}

// What FetchItem does with a text download's answer, done now, in the
// item's turn: the old file goes; a failed or too long answer leaves none;
// an empty one creates none; the written text must pass CheckTextDownload.
bool WriteInTurn(Fetch& fetch, const Data::DownloadItem& item) {
    ProxyLogin(fetch.proxy.mode, fetch.proxy.address).Settle(fetch.handle, fetch.result);
    const std::string& path = item.localPath;
    ::unlink(path.c_str());
    if (fetch.file.overLimit || fetch.result != CURLE_OK) return false;
    if (fetch.size > 0) {
        const Sys::Fd out(Sys::OpenRegularFile(path, O_WRONLY | O_APPEND | O_CREAT, 0644,
                                               Sys::LinkRule::Refuse, Sys::NameRule::Single));
        if (out.get() < 0 ||
            !Sys::WriteAll(out.get(), std::string_view(fetch.buffer, fetch.size))) {
            ::unlink(path.c_str());
            return false;
        }
    }
    return CheckTextDownload(path, item);
}

// A proxy that wants a password: FetchItem knows how to log in, one transfer at a time.
bool NeedsLogin(const Fetch& fetch) {
    return ProxyLogin(fetch.proxy.mode, fetch.proxy.address)
        .AskedForPassword(fetch.handle, fetch.result);
}

}  // namespace

bool FetchesAtOnce(const Data::DownloadList& list) {
    if (list.Count() < 2) return false;
    for (int index = 0; index < list.Count(); ++index) {
        const Data::DownloadItem& item = list.Item(index);
        if (!IsTextDownload(item.localPath) || !item.patchUrl.empty() || !item.basePath.empty())
            return false;
    }
    return true;
}

bool RunTextList(DownloadWorker& worker) {
    const Data::DownloadList& list = *worker.list;
    const std::string userAgent = UserAgentText(list);
    const int count = list.Count();
    // Declared before the transfers, so it outlives every handle added to it.
    Multi multi(curl_multi_init());
    if (multi) {
        curl_multi_setopt(multi.get(), CURLMOPT_MAX_HOST_CONNECTIONS, kCheckConnections);
        curl_multi_setopt(multi.get(), CURLMOPT_MAXCONNECTS, kCheckConnections);
    }
    std::vector<std::unique_ptr<Fetch>> fetches(static_cast<size_t>(count));
    std::unique_ptr<CURL, void (*)(CURL*)> oneByOne(nullptr, curl_easy_cleanup);
    int next = 0, running = 0;

    for (int turn = 0; turn < count;) {
        // Up to one transfer per connection in flight, started in the list's
        // order; each deadline runs from a real start, not from a queue.
        while (multi && running < kCheckConnections && next < count) {
            const Data::DownloadItem& item = list.Item(next);
            if (!AlreadyComplete(item)) {
                fetches[static_cast<size_t>(next)] = Start(multi.get(), worker, item, userAgent);
                if (fetches[static_cast<size_t>(next)]) ++running;
            }
            ++next;
        }
        std::unique_ptr<Fetch>& fetch = fetches[static_cast<size_t>(turn)];
        if (fetch && !fetch->done) {
            int active = 0;
            curl_multi_perform(multi.get(), &active);
            const int finished = CollectFinished(multi.get());
            running -= finished;
            if (finished == 0) curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr);
            continue;
        }
        // The item's turn, as in RunList.
        const Data::DownloadItem& item = list.Item(turn);
        if (AlreadyComplete(item)) {
            fetch.reset();
            ++turn;
            continue;
        }
        const Sys::TrustedFolder folder = MakeParentDirectories(item.localPath);
        if (Sys::Unsafe(folder.Fault())) {
            Sys::ReportUnsafeFolder(folder);
            return false;
        }
        bool fetched = false;
        if (fetch && !NeedsLogin(*fetch)) {
            fetched = WriteInTurn(*fetch, item);
        } else {
            if (!oneByOne) oneByOne.reset(curl_easy_init());
            fetched = FetchItem(oneByOne.get(), worker, item, item.localPath, item.expectedSize,
                                userAgent);
        }
        if (!fetched) return false;
        fetch.reset();
        ++turn;
    }
    return true;
}

}  // namespace Transfer
