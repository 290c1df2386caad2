#include "RequestHead.h"

#include <strings.h>

#include <algorithm>

namespace UpdateSrv {

void SkipBlankLines(std::string& buffer) {
    buffer.erase(0, std::min(buffer.find_first_not_of("\r\n"), buffer.size()));
}

size_t HeadEnd(const std::string& buffer) {
    for (size_t nl = buffer.find('\n'); nl != std::string::npos; nl = buffer.find('\n', nl + 1)) {
        size_t next = nl + 1;
        if (next < buffer.size() && buffer[next] == '\r') ++next;
        if (next < buffer.size() && buffer[next] == '\n') return next + 1;
    }
    return std::string::npos;
}

std::optional<std::string> TakeRangeField(std::string& head) {
    std::optional<std::string> value;
    size_t line = head.find('\n');  // the request line stays
    while (line != std::string::npos && line + 1 < head.size()) {
        size_t start = line + 1;
        size_t end = head.find('\n', start);
        if (end == std::string::npos) break;
        size_t colon = head.find(':', start);
        bool isRange = colon != std::string::npos && colon < end && colon - start == 5 &&
                       strncasecmp(head.c_str() + start, "range", 5) == 0;
        if (!isRange) {
            line = end;
            continue;
        }
        if (!value) {
            std::string text = head.substr(colon + 1, end - colon - 1);
            size_t first = text.find_first_not_of(" \t");
            size_t last = text.find_last_not_of(" \t\r");
            value = first == std::string::npos ? "" : text.substr(first, last - first + 1);
        }
        head.erase(start, end + 1 - start);
        line = start - 1;
    }
    return value;
}

}  // namespace UpdateSrv
