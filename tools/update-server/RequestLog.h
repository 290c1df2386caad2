#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace UpdateSrv {

// One answered request, as written to the log.
struct LogEntry {
    std::string method;
    std::string target;                    // as it stood in the request line
    std::optional<std::string> path;       // the file path it named; unset when refused unparsed
    std::optional<std::string> range;      // Range header
    std::optional<std::string> userAgent;  // User-Agent header
    int status = 0;
    std::uint64_t bytesSent = 0;  // body bytes handed to the connection
    bool proxyRequest = false;
    std::string remoteAddr;
    int remotePort = -1;
};

// One JSON object, no line break. Invalid UTF-8 in header values is replaced, not fatal.
std::string FormatLogLine(const LogEntry& entry);

// Appends lines to a file opened with O_APPEND; each line goes out in one write, so lines from
// concurrent requests never interleave and are visible to readers at once.
class RequestLog {
  public:
    RequestLog() = default;
    RequestLog(const RequestLog&) = delete;
    RequestLog& operator=(const RequestLog&) = delete;
    ~RequestLog();

    bool Open(const std::string& path, std::string& error);
    bool IsOpen() const { return fd_ >= 0; }
    void Append(const LogEntry& entry);

  private:
    int fd_ = -1;
};

}  // namespace UpdateSrv
