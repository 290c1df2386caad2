#include "RequestTarget.h"

#include <strings.h>

#include <algorithm>

namespace UpdateSrv {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

size_t SchemeLength(const std::string& target) {
    if (strncasecmp(target.c_str(), "http://", 7) == 0) return 7;
    if (strncasecmp(target.c_str(), "https://", 8) == 0) return 8;
    return 0;
}

}  // namespace

bool IsAbsoluteForm(const std::string& target) { return SchemeLength(target) > 0; }

TargetResult ParseRequestTarget(const std::string& target, RequestTarget& out) {
    out = RequestTarget{};
    std::string raw;
    if (size_t scheme = SchemeLength(target)) {
        out.proxyRequest = true;
        size_t pathStart = target.find_first_of("/?#", scheme);
        if (pathStart == scheme) return TargetResult::BadRequest;  // no host
        raw = pathStart == std::string::npos ? "/" : target.substr(pathStart);
        if (raw[0] != '/') raw.insert(raw.begin(), '/');
    } else if (!target.empty() && target[0] == '/') {
        raw = target;
    } else {
        return TargetResult::BadRequest;
    }
    raw.erase(std::min(raw.find_first_of("?#"), raw.size()));

    std::string decoded;
    decoded.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == '%') {
            int high = i + 2 < raw.size() ? HexValue(raw[i + 1]) : -1;
            int low = high >= 0 ? HexValue(raw[i + 2]) : -1;
            if (low < 0) return TargetResult::BadRequest;
            c = static_cast<char>(high * 16 + low);
            i += 2;
        }
        if (c == '\0') return TargetResult::BadRequest;
        decoded.push_back(c);
    }

    size_t pos = 0;
    while (pos <= decoded.size()) {
        size_t end = decoded.find('/', pos);
        if (end == std::string::npos) end = decoded.size();
        std::string segment = decoded.substr(pos, end - pos);
        if (segment == "..") return TargetResult::BadRequest;
        if (!segment.empty() && segment != ".") out.segments.push_back(std::move(segment));
        pos = end + 1;
    }
    for (const auto& segment : out.segments) out.path += "/" + segment;
    if (out.path.empty()) out.path.push_back('/');
    return TargetResult::Ok;
}

}  // namespace UpdateSrv
