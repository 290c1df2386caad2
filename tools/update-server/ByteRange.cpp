#include "ByteRange.h"

#include <strings.h>

#include <algorithm>
#include <limits>

namespace UpdateSrv {

namespace {

// Reads decimal digits at pos; saturates instead of overflowing. False when there are none.
bool ReadNumber(const std::string& text, size_t& pos, std::uint64_t& value) {
    constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
    size_t start = pos;
    value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        unsigned digit = static_cast<unsigned>(text[pos] - '0');
        value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
        ++pos;
    }
    return pos > start;
}

void SkipBlanks(const std::string& text, size_t& pos) {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
}

}  // namespace

ByteRange ParseByteRange(const std::string& header, std::uint64_t size) {
    ByteRange whole;
    size_t pos = 0;
    SkipBlanks(header, pos);
    if (strncasecmp(header.c_str() + pos, "bytes", 5) != 0) return whole;
    pos += 5;
    SkipBlanks(header, pos);
    if (pos >= header.size() || header[pos] != '=') return whole;
    ++pos;
    SkipBlanks(header, pos);

    std::uint64_t first = 0, last = 0;
    bool hasFirst = ReadNumber(header, pos, first);
    if (pos >= header.size() || header[pos] != '-') return whole;
    ++pos;
    bool hasLast = ReadNumber(header, pos, last);
    SkipBlanks(header, pos);
    if (pos != header.size() || (!hasFirst && !hasLast)) return whole;  // also lists

    ByteRange range;
    if (!hasFirst) {  // suffix: the last `last` bytes
        if (last == 0 || size == 0) return {ByteRange::Kind::Unsatisfiable, 0, 0};
        range.first = size - std::min(last, size);
        range.last = size - 1;
    } else {
        if (hasLast && last < first) return whole;
        if (first >= size) return {ByteRange::Kind::Unsatisfiable, 0, 0};
        range.first = first;
        range.last = hasLast ? std::min(last, size - 1) : size - 1;
    }
    range.kind = ByteRange::Kind::Part;
    return range;
}

}  // namespace UpdateSrv
