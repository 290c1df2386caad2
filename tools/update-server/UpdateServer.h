#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "RequestLog.h"
#include "ServerOptions.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace UpdateSrv {

class HttpCore;

// Static file server over the options' root, with the fault behaviours the options ask for.
// It accepts connections itself and hands each to httplib's request processing on a worker
// thread, so that it knows every open connection and can end them all when it stops.
class UpdateServer {
  public:
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
    class Connections {
      public:
        void Add(int fd);
        void Remove(int fd);  // closes it
        void ShutdownAll();

      private:
        std::mutex mutex_;
        std::set<int> fds_;
    };

    void Handle(const httplib::Request& req, httplib::Response& res);
    void ServeFile(const httplib::Request& req, httplib::Response& res, const std::string& path,
                   int fd, std::uint64_t size);
    void LogExchange(const httplib::Request& req, const httplib::Response& res);

    ServerOptions options_;
    std::unique_ptr<HttpCore> http_;
    RequestLog log_;
    Connections connections_;
    int listenFd_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    int port_ = -1;
    std::atomic<bool> stopping_{false};
};

}  // namespace UpdateSrv
