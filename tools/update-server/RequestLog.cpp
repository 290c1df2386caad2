#include "RequestLog.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace UpdateSrv {

namespace {

nlohmann::json OptionalText(const std::optional<std::string>& text) {
    return text ? nlohmann::json(*text) : nlohmann::json(nullptr);
}

}  // namespace

std::string FormatLogLine(const LogEntry& entry) {
    nlohmann::ordered_json line;
    line["method"] = entry.method;
    line["target"] = entry.target;
    line["path"] = OptionalText(entry.path);
    line["range"] = OptionalText(entry.range);
    line["userAgent"] = OptionalText(entry.userAgent);
    line["status"] = entry.status;
    line["bytesSent"] = entry.bytesSent;
    line["proxyRequest"] = entry.proxyRequest;
    line["remoteAddr"] = entry.remoteAddr;
    line["remotePort"] = entry.remotePort;
    return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

RequestLog::~RequestLog() {
    if (fd_ >= 0) close(fd_);
}

bool RequestLog::Open(const std::string& path, std::string& error) {
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        error = "cannot open log " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}

void RequestLog::Append(const LogEntry& entry) {
    if (fd_ < 0) return;
    std::string line = FormatLogLine(entry) + "\n";
    const char* data = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = write(fd_, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        left -= static_cast<size_t>(n);
    }
}

}  // namespace UpdateSrv
