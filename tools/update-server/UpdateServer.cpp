#include "UpdateServer.h"

#include <arpa/inet.h>
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
#include <condition_variable>
#include <deque>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "ByteRange.h"
#include "RequestHead.h"
#include "RequestTarget.h"

namespace UpdateSrv {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kChunkSize = 64 * 1024;
// Threads answering at the same time; more requests wait for one.
constexpr size_t kMaxWorkers = 256;
constexpr size_t kKeepAliveMaxCount = 100;
constexpr size_t kMaxHead = 32 * 1024;
constexpr int kAcceptBatch = 64;
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
// The connection the current worker thread serves.
thread_local int tConnection = -1;
// The request's Range field, taken out of the head before httplib saw it.
thread_local std::optional<std::string> tRange;
// Set when the answer must be the connection's last (the request's body was not read).
thread_local bool tCloseAfter = false;

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

// A stream over one connection for httplib: the bytes the reader already collected first (the
// request head, maybe more), then the socket, each wait bounded.
class ConnectionStream : public httplib::Stream {
  public:
    ConnectionStream(int fd, std::string& pending) : fd_(fd), pending_(pending) {}

    bool is_readable() const override { return !pending_.empty() || Ready(POLLIN, 0); }
    bool is_writable() const override { return Ready(POLLOUT, kWriteTimeoutMs); }

    ssize_t read(char* ptr, size_t size) override {
        if (!pending_.empty()) {
            size_t n = std::min(size, pending_.size());
            memcpy(ptr, pending_.data(), n);
            pending_.erase(0, n);
            return static_cast<ssize_t>(n);
        }
        if (!Ready(POLLIN, kReadTimeoutMs)) return -1;
        for (;;) {
            ssize_t n = recv(fd_, ptr, size, MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            return n;
        }
    }

    // Partial writes are fine: httplib writes the rest.
    ssize_t write(const char* ptr, size_t size) override {
        if (!Ready(POLLOUT, kWriteTimeoutMs)) return -1;
        for (;;) {
            ssize_t n = send(fd_, ptr, size, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            return n;
        }
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        Address(getpeername, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        Address(getsockname, ip, port);
    }
    socket_t socket() const override { return fd_; }

  private:
    static constexpr int kReadTimeoutMs = 10000;
    static constexpr int kWriteTimeoutMs = 30000;

    bool Ready(short events, int timeoutMs) const {
        pollfd p{fd_, events, 0};
        for (;;) {
            int n = poll(&p, 1, timeoutMs);
            if (n < 0 && errno == EINTR) continue;
            return n > 0 && (p.revents & events);
        }
    }

    void Address(int (*query)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        ip.clear();
        port = 0;
        if (query(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return;
        char text[INET6_ADDRSTRLEN] = "";
        if (address.ss_family == AF_INET6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&address);
            inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
            port = ntohs(a->sin6_port);
        } else if (address.ss_family == AF_INET) {
            auto* a = reinterpret_cast<sockaddr_in*>(&address);
            inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
            port = ntohs(a->sin_port);
        }
        ip = text;
    }

    int fd_;
    std::string& pending_;
};

}  // namespace

class HttpCore : public httplib::Server {
  public:
    // httplib sends answer bodies only while the server socket is set.
    void SetServing(socket_t sock) { svr_sock_ = sock; }
    // Parses and answers one request from the stream (routing, logging included).
    bool AnswerOne(httplib::Stream& stream, bool lastOnConnection, bool& connectionClosed) {
        return process_request(stream, lastOnConnection, connectionClosed, nullptr);
    }
};

// One client connection. The reader owns it while it waits for a request head, a worker while
// it answers the request.
struct UpdateServer::Connection {
    explicit Connection(int socket) : fd(socket) {}
    ~Connection() { close(fd); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    int fd;
    std::string buffer;          // received and not yet handed to httplib
    Clock::time_point deadline;  // for the head now awaited
    bool begun = false;          // a byte of that head has come
    size_t answered = 0;
};

// Threads made as requests need them, up to a cap, and kept for later requests. Slow clients
// never hold one while they send their head; a stalled or throttled answer holds one for as
// long as it lasts.
class UpdateServer::Workers {
  public:
    explicit Workers(size_t cap) : cap_(cap) {}
    ~Workers() { Shutdown(); }
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

    void Enqueue(std::function<void()> task) {
        std::unique_lock lock(mutex_);
        tasks_.push_back(std::move(task));
        // Each idle thread takes one task; any more need a new thread.
        if (tasks_.size() > idle_ && threads_.size() < cap_) {
            // Workers block every signal, so that process signals reach the main thread.
            sigset_t all, previous;
            sigfillset(&all);
            pthread_sigmask(SIG_SETMASK, &all, &previous);
            threads_.emplace_back([this] { Work(); });
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        } else {
            ready_.notify_one();
        }
    }

    // Finishes the queued tasks, then joins every thread.
    void Shutdown() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_all();
        for (auto& thread : threads_) thread.join();
        threads_.clear();
    }

  private:
    void Work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            while (tasks_.empty() && !stopping_) {
                ++idle_;
                ready_.wait(lock);
                --idle_;
            }
            if (tasks_.empty()) return;
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            task = nullptr;  // lets go of the connection before taking the lock
            lock.lock();
        }
    }

    size_t cap_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> tasks_;
    std::vector<std::thread> threads_;
    size_t idle_ = 0;
    bool stopping_ = false;
};

void UpdateServer::Active::Add(int fd) {
    std::lock_guard lock(mutex_);
    fds_.insert(fd);
}

void UpdateServer::Active::Remove(int fd) {
    std::lock_guard lock(mutex_);
    fds_.erase(fd);
}

void UpdateServer::Active::ShutdownAll() {
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

    // Only for the Keep-Alive field of the answers: the reader applies these limits.
    http_->set_keep_alive_max_count(kKeepAliveMaxCount);
    http_->set_keep_alive_timeout(kIdleTimeoutMs / 1000);
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
        // Non-blocking: the reader takes what is queued and never waits in accept().
        int fd =
            socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
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
    Workers workers(kMaxWorkers);
    http_->SetServing(listenFd_);
    std::vector<std::shared_ptr<Connection>> waiting;
    bool ok = true;
    std::vector<pollfd> fds;
    while (!stopping_) {
        TakeReturned(waiting, workers);
        auto now = Clock::now();
        // Heads that took too long, and kept-alive connections left idle, are closed.
        std::erase_if(waiting, [&](const auto& c) { return c->deadline <= now; });
        auto next = now + std::chrono::hours(1);
        for (const auto& c : waiting) next = std::min(next, c->deadline);

        fds.assign({{listenFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}});
        for (const auto& c : waiting) fds.push_back({c->fd, POLLIN, 0});
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
        if (poll(fds.data(), fds.size(), static_cast<int>(wait)) < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (fds[1].revents) {
            char drain[64];
            while (read(wakeRead_, drain, sizeof drain) > 0) {
            }
        }
        // The connections polled are the first fds.size() - 2 of `waiting`; new ones go after.
        std::vector<std::shared_ptr<Connection>> still;
        still.reserve(waiting.size());
        for (size_t i = 0; i < waiting.size(); ++i) {
            bool keep = i + 2 >= fds.size() || !fds[i + 2].revents || ReadHead(waiting[i], workers);
            if (keep) still.push_back(std::move(waiting[i]));
        }
        waiting.swap(still);
        if ((fds[0].revents & POLLIN) && !Accept(waiting)) ok = false;
    }
    waiting.clear();
    http_->SetServing(INVALID_SOCKET);
    active_.ShutdownAll();
    workers.Shutdown();
    std::lock_guard lock(returnedMutex_);
    returned_.clear();
    close(listenFd_);
    listenFd_ = -1;
    return ok;
}

// Takes what the listening socket has queued; false when accepting failed on its own.
bool UpdateServer::Accept(std::vector<std::shared_ptr<Connection>>& waiting) {
    for (int i = 0; i < kAcceptBatch; ++i) {
        int sock = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (sock < 0) {
            if (errno == EMFILE || errno == ENFILE) std::this_thread::sleep_for(kPollSlice);
            return errno != EBADF && errno != EINVAL && errno != ENOTSOCK;
        }
        // Small answers on a kept-alive connection must not wait for a delayed ACK.
        int noDelay = 1;
        setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        auto connection = std::make_shared<Connection>(sock);
        connection->deadline = Clock::now() + std::chrono::milliseconds(kHeadTimeoutMs);
        waiting.push_back(std::move(connection));
    }
    return true;
}

void UpdateServer::TakeReturned(std::vector<std::shared_ptr<Connection>>& waiting,
                                Workers& workers) {
    std::vector<std::shared_ptr<Connection>> back;
    {
        std::lock_guard lock(returnedMutex_);
        back.swap(returned_);
    }
    for (auto& c : back) {
        SkipBlankLines(c->buffer);
        // A pipelined request may be there already.
        if (HeadEnd(c->buffer) != std::string::npos) {
            Dispatch(std::move(c), workers);
            continue;
        }
        c->begun = !c->buffer.empty();
        c->deadline =
            Clock::now() + std::chrono::milliseconds(c->begun ? kHeadTimeoutMs : kIdleTimeoutMs);
        waiting.push_back(std::move(c));
    }
}

bool UpdateServer::ReadHead(const std::shared_ptr<Connection>& c, Workers& workers) {
    char chunk[4096];
    ssize_t n = recv(c->fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (n == 0) return false;  // the client hung up
    c->buffer.append(chunk, static_cast<size_t>(n));
    SkipBlankLines(c->buffer);
    if (!c->buffer.empty() && !c->begun) {
        c->begun = true;
        c->deadline = Clock::now() + std::chrono::milliseconds(kHeadTimeoutMs);
    }
    if (HeadEnd(c->buffer) != std::string::npos) {
        Dispatch(c, workers);
        return false;
    }
    if (c->buffer.size() > kMaxHead) {
        static const char kTooLarge[] =
            "HTTP/1.1 431 Request Header Fields Too Large\r\nConnection: close\r\n"
            "Content-Length: 0\r\n\r\n";
        ssize_t ignored = send(c->fd, kTooLarge, sizeof kTooLarge - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
        (void)ignored;
        return false;
    }
    return true;
}

void UpdateServer::Dispatch(std::shared_ptr<Connection> connection, Workers& workers) {
    active_.Add(connection->fd);
    workers.Enqueue([this, connection] { Answer(connection); });
}

void UpdateServer::Answer(const std::shared_ptr<Connection>& c) {
    size_t headEnd = HeadEnd(c->buffer);
    std::string head = c->buffer.substr(0, headEnd);
    tRange = TakeRangeField(head);
    c->buffer.replace(0, headEnd, head);

    tConnection = c->fd;
    tCloseAfter = false;
    bool last = ++c->answered >= kKeepAliveMaxCount || stopping_;
    bool closed = false;
    ConnectionStream stream(c->fd, c->buffer);
    bool answered = http_->AnswerOne(stream, last, closed);
    tConnection = -1;
    tRange.reset();
    active_.Remove(c->fd);
    if (!answered || closed || last || tCloseAfter || stopping_) return;  // closes it
    {
        std::lock_guard lock(returnedMutex_);
        returned_.push_back(c);
    }
    char byte = 1;
    ssize_t ignored = write(wakeWrite_, &byte, 1);
    (void)ignored;
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
    // A body is never read, so what follows on the connection is not a request head.
    tCloseAfter =
        (req.has_header("Content-Length") && req.get_header_value("Content-Length") != "0") ||
        req.has_header("Transfer-Encoding");

    if (req.method != "GET" && req.method != "HEAD") {
        SetShortAnswer(res, 405);
        res.set_header("Allow", "GET, HEAD");
        res.set_header("Connection", "close");
        tCloseAfter = true;
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
    ServeFile(res, target.path, fd, static_cast<std::uint64_t>(st.st_size), tRange);
}

void UpdateServer::ServeFile(httplib::Response& res, const std::string& path, int fd,
                             std::uint64_t size, const std::optional<std::string>& rangeField) {
    ByteRange range;
    if (!options_.ignoreRange) {
        res.set_header("Accept-Ranges", "bytes");
        if (rangeField) range = ParseByteRange(*rangeField, size);
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
    entry.range = tRange;
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
