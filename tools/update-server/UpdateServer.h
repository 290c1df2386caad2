#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "RequestLog.h"
#include "ServerOptions.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace UpdateSrv {

// Static file server over the options' root, with the fault behaviours the options ask for.
class UpdateServer {
  public:
    explicit UpdateServer(ServerOptions options);
    ~UpdateServer();
    UpdateServer(const UpdateServer&) = delete;
    UpdateServer& operator=(const UpdateServer&) = delete;

    // Opens the log and binds the listening socket; Port() is valid afterwards.
    bool Open(std::string& error);
    int Port() const { return port_; }

    // Serves until Stop(); false when listening failed on its own.
    bool Run();

    // From another thread: stops accepting, ends open connections (stalled and throttled
    // answers included) and returns once Run() has returned or will return at once.
    void Stop();

  private:
    void Handle(const httplib::Request& req, httplib::Response& res);
    void ServeFile(const httplib::Request& req, httplib::Response& res, const std::string& path,
                   int fd, std::uint64_t size);
    void LogExchange(const httplib::Request& req, const httplib::Response& res);
    void CutConnections() const;

    ServerOptions options_;
    std::unique_ptr<httplib::Server> server_;
    RequestLog log_;
    int port_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> finished_{false};
};

}  // namespace UpdateSrv
