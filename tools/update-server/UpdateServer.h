#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "RequestLog.h"
#include "ServerOptions.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace UpdateSrv {

class HttpCore;

// Static file server over the options' root, with the fault behaviours the options ask for.
// One reader thread accepts connections and collects request heads for all of them at once, with
// short time-outs, so slow or idle clients cost no worker; a complete head goes to a worker
// thread, which has httplib answer that one request and then gives the connection back.
class UpdateServer {
  public:
    // How long a client may take to send a whole request head, and to begin the next request on
    // a kept-alive connection.
    static constexpr int kHeadTimeoutMs = 5000;
    static constexpr int kIdleTimeoutMs = 5000;

    explicit UpdateServer(ServerOptions options);
    ~UpdateServer();
    UpdateServer(const UpdateServer&) = delete;
    UpdateServer& operator=(const UpdateServer&) = delete;

    // Opens the log and the listening socket; Port() is valid afterwards.
    bool Open(std::string& error);
    int Port() const { return port_; }

    // Serves until Stop(); returns once every connection is closed and every answer logged.
    // Its worker threads block all signals, so process signals reach the calling thread.
    // False when accepting failed on its own.
    bool Run();

    // Async-signal-safe: may be called from a signal handler or any thread, before or during
    // Run(). Run() then stops accepting, ends open connections (stalled and throttled answers
    // included) and returns.
    void Stop();

  private:
    struct Connection;
    class Workers;

    // Descriptors of the connections that workers are answering, so that Stop() can end them.
    class Active {
      public:
        void Add(int fd);
        void Remove(int fd);  // does not close it
        void ShutdownAll();

      private:
        std::mutex mutex_;
        std::set<int> fds_;
    };

    // The reader's side.
    bool Accept(std::vector<std::shared_ptr<Connection>>& waiting);
    void TakeReturned(std::vector<std::shared_ptr<Connection>>& waiting, Workers& workers);
    // False when the connection is done with (closed or handed to a worker).
    bool ReadHead(const std::shared_ptr<Connection>& connection, Workers& workers);
    void Dispatch(std::shared_ptr<Connection> connection, Workers& workers);
    // The worker's side: answers one request, then gives the connection back or closes it.
    void Answer(const std::shared_ptr<Connection>& connection);

    void Handle(const httplib::Request& req, httplib::Response& res);
    void ServeFile(httplib::Response& res, const std::string& path, int fd, std::uint64_t size,
                   const std::optional<std::string>& rangeField);
    void LogExchange(const httplib::Request& req, const httplib::Response& res);

    ServerOptions options_;
    std::unique_ptr<HttpCore> http_;
    RequestLog log_;
    Active active_;
    std::mutex returnedMutex_;
    std::vector<std::shared_ptr<Connection>> returned_;  // kept alive, back to the reader
    int listenFd_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    int port_ = -1;
    std::atomic<bool> stopping_{false};
};

}  // namespace UpdateSrv
