#include "download/ResumeValidator.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>

#include "data/Text.h"
#include "platform/RegularFile.h"

namespace Transfer {

namespace {

// Far above any ETag or date a server sends; the file is read whole.
constexpr size_t kValidatorLimit = 512;

// It goes into a request header: no line breaks or other control characters
// a server could use to add headers of its own.
bool IsHeaderValue(std::string_view text) {
    if (text.empty() || text.size() > kValidatorLimit) return false;
    if (text.front() == ' ' || text.back() == ' ') return false;
    for (const char c : text)
        if (c < 0x20 || c > 0x7e) return false;
    return true;
}

bool IsStrongETag(std::string_view tag) {
    return tag.size() >= 2 && tag.front() == '"' && tag.back() == '"' && IsHeaderValue(tag);
}

std::string HeaderText(CURL* handle, const char* name) {
    curl_header* header = nullptr;
    if (curl_easy_header(handle, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK || !header)
        return {};
    // Two different answers in one: trust neither.
    if (header->amount != 1 || !header->value) return {};
    return header->value;
}

}  // namespace

std::string ValidatorPath(const std::string& path) { return path + ".validator"; }

std::optional<std::string> ReadValidator(const std::string& path) {
    const std::string file = ValidatorPath(path);
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0 && errno == ENOENT) return std::nullopt;
    const std::optional<std::string> text = Data::ReadBoundedFile(file, kValidatorLimit);
    if (!text || !IsHeaderValue(*text)) return std::string();
    return text;
}

bool SaveValidator(const std::string& path, const std::string& validator) {
    if (!IsHeaderValue(validator)) {
        RemoveValidator(path);
        return false;
    }
    const std::string target = ValidatorPath(path);
    const size_t slash = target.rfind('/');
    std::string temp = slash == std::string::npos ? "." + target + ".XXXXXX"
                                                  : target.substr(0, slash + 1) + "." +
                                                        target.substr(slash + 1) + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        RemoveValidator(path);
        return false;
    }
    bool ok = Sys::WriteAll(fd, validator);
    // On disk before the bytes it vouches for.
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        RemoveValidator(path);
    }
    return ok;
}

void RemoveValidator(const std::string& path) { ::unlink(ValidatorPath(path).c_str()); }

std::string ChooseValidator(std::string_view etag, std::string_view lastModified) {
    const std::string tag = Data::StripBoth(etag, " \t");
    if (IsStrongETag(tag)) return tag;
    const std::string date = Data::StripBoth(lastModified, " \t");
    return IsHeaderValue(date) ? date : std::string();
}

std::string AnswerValidator(CURL* handle) {
    if (!handle) return {};
    return ChooseValidator(HeaderText(handle, "ETag"), HeaderText(handle, "Last-Modified"));
}

std::optional<int64_t> RangeStart(std::string_view contentRange) {
    constexpr std::string_view unit = "bytes ";
    if (contentRange.size() < unit.size() ||
        Data::ToLower(contentRange.substr(0, unit.size())) != unit)
        return std::nullopt;
    contentRange.remove_prefix(unit.size());
    while (!contentRange.empty() && contentRange.front() == ' ') contentRange.remove_prefix(1);
    if (contentRange.empty() || contentRange.front() < '0' || contentRange.front() > '9')
        return std::nullopt;
    int64_t first = -1;
    const char* end = contentRange.data() + contentRange.size();
    const auto [next, error] = std::from_chars(contentRange.data(), end, first);
    if (error != std::errc() || next == contentRange.data() || next == end || *next != '-')
        return std::nullopt;
    return first;
}

std::optional<int64_t> AnswerRangeStart(CURL* handle) {
    if (!handle) return std::nullopt;
    return RangeStart(HeaderText(handle, "Content-Range"));
}

}  // namespace Transfer
