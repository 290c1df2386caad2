#include "UpdateServer.h"

#include <fcntl.h>
#include <httplib.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "ByteRange.h"
#include "RequestTarget.h"

namespace UpdateSrv {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kChunkSize = 64 * 1024;
constexpr size_t kWorkerThreads = 16;
constexpr size_t kKeepAliveMaxCount = 100;
constexpr auto kPollSlice = std::chrono::milliseconds(50);

// What the logger needs to know about the answer the handler built. The handler, the body
// provider and the logger all run on the connection's worker thread, one after the other.
struct Exchange {
    const httplib::Request* request = nullptr;
    std::optional<std::string> path;
    bool streamed = false;
    std::uint64_t bytesSent = 0;
};
thread_local std::shared_ptr<Exchange> tExchange;
// Our own descriptor of the connection the current worker thread serves.
thread_local int tConnection = -1;

const char* Reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 204:
            return "No Content";
        case 302:
            return "Found";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 410:
            return "Gone";
        case 416:
            return "Range Not Satisfiable";
        case 500:
            return "Internal Server Error";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        case 504:
            return "Gateway Timeout";
        default:
            return "Status";
    }
}

// A short text answer for refusals and --status.
void SetShortAnswer(httplib::Response& res, int status) {
    res.status = status;
    std::string body;
    if (status != 204 && status != 304) {
        body = std::to_string(status) + " " + Reason(status) + "\n";
    }
    res.set_content(body, "text/plain");
}

std::string ContentType(const std::string& path) {
    auto endsWith = [&](const char* suffix) {
        size_t n = strlen(suffix);
        return path.size() >= n && strcasecmp(path.c_str() + path.size() - n, suffix) == 0;
    };
    if (endsWith(".txt") || endsWith(".cfg")) return "text/plain";
    if (endsWith(".html") || endsWith(".htm")) return "text/html";
    return "application/octet-stream";
}

// The body of one file answer: read from disk one chunk per call, with the configured faults.
class FileBody {
  public:
    FileBody(int fd, std::uint64_t start, const ServerOptions& options,
             const std::atomic<bool>& stopping, std::shared_ptr<Exchange> exchange)
        : fd_(fd),
          start_(start),
          options_(options),
          stopping_(stopping),
          exchange_(std::move(exchange)),
          buffer_(kChunkSize) {}
    ~FileBody() { close(fd_); }
    FileBody(const FileBody&) = delete;
    FileBody& operator=(const FileBody&) = delete;

    // httplib calls this until the body is out; `offset` counts the body bytes already sent.
    // False ends the answer and closes the connection.
    bool Provide(size_t offset, size_t length, httplib::DataSink& sink) {
        std::uint64_t sent = offset;
        if (options_.stallAfter && sent >= *options_.stallAfter) {
            Stall();
            return false;
        }
        if (options_.dropAfter && sent >= *options_.dropAfter) return false;

        std::uint64_t n = std::min<std::uint64_t>(length, kChunkSize);
        if (options_.stallAfter) n = std::min(n, *options_.stallAfter - sent);
        if (options_.dropAfter) n = std::min(n, *options_.dropAfter - sent);
        if (options_.throttle) {
            // Small pieces keep the pace even for slow rates.
            n = std::min(n, std::max<std::uint64_t>(1, options_.throttle / 20));
            if (!WaitForPace(sent)) return false;
        }
        if (!ReadAt(start_ + sent, static_cast<size_t>(n))) return false;
        if (!sink.write(buffer_.data(), static_cast<size_t>(n))) return false;
        exchange_->bytesSent = sent + n;
        return true;
    }

  private:
    bool ReadAt(std::uint64_t position, size_t n) {
        size_t done = 0;
        while (done < n) {
            ssize_t got =
                pread(fd_, buffer_.data() + done, n - done, static_cast<off_t>(position + done));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;  // read error, or the file shrank
            done += static_cast<size_t>(got);
        }
        return true;
    }

    bool WaitForPace(std::uint64_t sent) {
        if (sent == 0) paceStart_ = Clock::now();
        auto due =
            paceStart_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                             static_cast<double>(sent) / static_cast<double>(options_.throttle)));
        for (auto now = Clock::now(); now < due; now = Clock::now()) {
            if (stopping_) return false;
            std::this_thread::sleep_for(std::min<Clock::duration>(due - now, kPollSlice));
        }
        return !stopping_;
    }

    // Sends nothing more, keeping the connection open, until the client hangs up or the server
    // stops.
    void Stall() {
        while (!stopping_) {
            pollfd p{tConnection, POLLRDHUP, 0};
            int ready = poll(&p, 1, static_cast<int>(kPollSlice.count()));
            if (ready > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL))) return;
        }
    }

    int fd_;
    std::uint64_t start_;
    const ServerOptions& options_;
    const std::atomic<bool>& stopping_;
    std::shared_ptr<Exchange> exchange_;
    std::vector<char> buffer_;
    Clock::time_point paceStart_{};
};

}  // namespace

// The connection processing of this httplib version (keep-alive loop, request parsing, routing,
// logging) is a private member. Explicit instantiation may name private members, which gives
// the accept loop below a way to call it for the sockets it accepts itself.
using ProcessSocketFn = bool (httplib::Server::*)(socket_t);
ProcessSocketFn ProcessAndCloseSocket();
template <ProcessSocketFn Fn>
struct ProcessSocketAccess {
    friend ProcessSocketFn ProcessAndCloseSocket() { return Fn; }
};
template struct ProcessSocketAccess<&httplib::Server::process_and_close_socket>;

class HttpCore : public httplib::Server {
  public:
    // Keep-alive loops continue only while the server socket is set.
    void SetServing(socket_t sock) { svr_sock_ = sock; }
    void Process(socket_t sock) { (this->*ProcessAndCloseSocket())(sock); }
};

void UpdateServer::Connections::Add(int fd) {
    std::lock_guard lock(mutex_);
    fds_.insert(fd);
}

void UpdateServer::Connections::Remove(int fd) {
    std::lock_guard lock(mutex_);
    fds_.erase(fd);
    close(fd);
}

void UpdateServer::Connections::ShutdownAll() {
    std::lock_guard lock(mutex_);
    for (int fd : fds_) shutdown(fd, SHUT_RDWR);
}

UpdateServer::UpdateServer(ServerOptions options)
    : options_(std::move(options)), http_(std::make_unique<HttpCore>()) {}

UpdateServer::~UpdateServer() {
    for (int fd : {listenFd_, wakeRead_, wakeWrite_}) {
        if (fd >= 0) close(fd);
    }
}

bool UpdateServer::Open(std::string& error) {
    if (!options_.logFile.empty() && !log_.Open(options_.logFile, error)) return false;

    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("pipe: ") + strerror(errno);
        return false;
    }
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];

    http_->set_keep_alive_max_count(kKeepAliveMaxCount);
    http_->set_keep_alive_timeout(5);
    http_->set_read_timeout(10);
    http_->set_write_timeout(30);
    http_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        Handle(req, res);
        return httplib::Server::HandlerResponse::Handled;
    });
    http_->set_logger([this](const httplib::Request& req, const httplib::Response& res) {
        LogExchange(req, res);
    });

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    std::string service = std::to_string(options_.port);
    int rc = getaddrinfo(options_.bind.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) {
        error = "cannot use address " + options_.bind + ": " + gai_strerror(rc);
        return false;
    }
    std::string reason = "no usable address";
    for (addrinfo* ai = found; ai && listenFd_ < 0; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        // SO_REUSEADDR only: a port that another server holds must fail here.
        int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && listen(fd, SOMAXCONN) == 0) {
            listenFd_ = fd;
        } else {
            reason = strerror(errno);
            close(fd);
        }
    }
    freeaddrinfo(found);
    if (listenFd_ < 0) {
        error = "cannot listen on " + options_.bind + " port " + service + ": " + reason;
        return false;
    }
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &len);
    port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    return true;
}

bool UpdateServer::Run() {
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    httplib::ThreadPool pool(kWorkerThreads);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    http_->SetServing(listenFd_);
    bool ok = true;
    while (!stopping_) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (fds[1].revents) break;
        if (!(fds[0].revents & POLLIN)) continue;
        int sock = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (sock < 0) {
            if (errno == EMFILE || errno == ENFILE) std::this_thread::sleep_for(kPollSlice);
            continue;
        }
        // Small answers on a kept-alive connection must not wait for a delayed ACK.
        int noDelay = 1;
        setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        // A second descriptor of our own for the connection: Stop() shuts it down, and a
        // stalled answer watches it, without touching a descriptor httplib may close meanwhile.
        int control = fcntl(sock, F_DUPFD_CLOEXEC, 0);
        if (control < 0) {
            close(sock);
            continue;
        }
        connections_.Add(control);
        pool.enqueue([this, sock, control] {
            tConnection = control;
            http_->Process(sock);
            tConnection = -1;
            connections_.Remove(control);
        });
    }
    http_->SetServing(INVALID_SOCKET);
    connections_.ShutdownAll();
    pool.shutdown();
    close(listenFd_);
    listenFd_ = -1;
    return ok;
}

void UpdateServer::Stop() {
    stopping_ = true;
    char byte = 1;
    ssize_t ignored = write(wakeWrite_, &byte, 1);
    (void)ignored;
}

void UpdateServer::Handle(const httplib::Request& req, httplib::Response& res) {
    auto exchange = std::make_shared<Exchange>();
    exchange->request = &req;
    tExchange = exchange;

    // The server answers ranges itself and never compresses: what it sends are the file's
    // bytes. The request object belongs to the connection's worker, not to a const owner.
    auto& request = const_cast<httplib::Request&>(req);
    request.ranges.clear();
    request.headers.erase("Accept-Encoding");

    if (req.method != "GET" && req.method != "HEAD") {
        SetShortAnswer(res, 405);
        res.set_header("Allow", "GET, HEAD");
        res.set_header("Connection", "close");
        return;
    }
    RequestTarget target;
    if (ParseRequestTarget(req.target, target) != TargetResult::Ok) {
        SetShortAnswer(res, 400);
        return;
    }
    exchange->path = target.path;
    if (auto it = options_.statusOverrides.find(target.path);
        it != options_.statusOverrides.end()) {
        SetShortAnswer(res, it->second);
        return;
    }
    if (auto it = options_.redirects.find(target.path); it != options_.redirects.end()) {
        SetShortAnswer(res, 302);
        res.set_header("Location", it->second);
        return;
    }

    // Resolve symbolic links and make sure the file found is still below the root.
    std::string candidate = options_.root;
    for (const auto& segment : target.segments) candidate += "/" + segment;
    char resolved[PATH_MAX];
    if (!realpath(candidate.c_str(), resolved)) {
        SetShortAnswer(res, errno == EACCES ? 403 : 404);
        return;
    }
    const std::string& root = options_.root;
    std::string file = resolved;
    bool inside =
        file == root || (file.compare(0, root.size(), root) == 0 &&
                         (root == "/" || (file.size() > root.size() && file[root.size()] == '/')));
    if (!inside) {
        SetShortAnswer(res, 404);
        return;
    }
    // O_NONBLOCK: opening a FIFO planted under the root must not hang the worker.
    int fd = open(resolved, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        SetShortAnswer(res, errno == EACCES ? 403 : 404);
        return;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        SetShortAnswer(res, 404);  // folders and special files are not served
        return;
    }
    ServeFile(req, res, target.path, fd, static_cast<std::uint64_t>(st.st_size));
}

void UpdateServer::ServeFile(const httplib::Request& req, httplib::Response& res,
                             const std::string& path, int fd, std::uint64_t size) {
    ByteRange range;
    if (!options_.ignoreRange) {
        res.set_header("Accept-Ranges", "bytes");
        if (req.has_header("Range")) range = ParseByteRange(req.get_header_value("Range"), size);
    }
    if (range.kind == ByteRange::Kind::Unsatisfiable) {
        close(fd);
        SetShortAnswer(res, 416);
        res.set_header("Content-Range", "bytes */" + std::to_string(size));
        return;
    }

    std::uint64_t first = 0;
    std::uint64_t length = size;
    res.status = 200;
    if (range.kind == ByteRange::Kind::Part) {
        first = range.first;
        length = range.last - range.first + 1;
        res.status = 206;
        res.set_header("Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                            std::to_string(range.last) + "/" +
                                            std::to_string(size));
    }
    if (length == 0) {  // httplib treats a zero-length provider as "length unknown"
        close(fd);
        res.set_content("", ContentType(path));
        return;
    }

    tExchange->streamed = true;
    auto body = std::make_shared<FileBody>(fd, first, options_, stopping_, tExchange);
    res.set_content_provider(static_cast<size_t>(length), ContentType(path),
                             [body](size_t offset, size_t left, httplib::DataSink& sink) {
                                 return body->Provide(offset, left, sink);
                             });
}

void UpdateServer::LogExchange(const httplib::Request& req, const httplib::Response& res) {
    std::shared_ptr<Exchange> exchange = std::move(tExchange);
    tExchange.reset();
    if (exchange && exchange->request != &req) exchange.reset();

    LogEntry entry;
    entry.method = req.method;
    entry.target = req.target;
    entry.proxyRequest = IsAbsoluteForm(req.target);
    if (req.has_header("Range")) entry.range = req.get_header_value("Range");
    if (req.has_header("User-Agent")) entry.userAgent = req.get_header_value("User-Agent");
    entry.status = res.status;
    entry.remoteAddr = req.remote_addr;
    entry.remotePort = req.remote_port;
    if (exchange) entry.path = exchange->path;
    if (req.method == "HEAD") {
        entry.bytesSent = 0;
    } else if (exchange && exchange->streamed) {
        entry.bytesSent = exchange->bytesSent;
    } else {
        entry.bytesSent = res.body.size();
    }
    log_.Append(entry);
}

}  // namespace UpdateSrv
