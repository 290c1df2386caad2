#include "data/KeyValueLine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "data/Text.h"

namespace Data {

namespace {

constexpr std::string_view kTrimSet = " \r\n";

// The trim of both readers: a text made only of trim characters stays as it is.
std::string TrimKeepingBlankText(std::string_view text) {
    if (text.find_first_not_of(kTrimSet) == std::string_view::npos) return std::string(text);
    return StripBoth(text, kTrimSet);
}

// Length in bytes of the next piece starting at `from`. A bounded line reader
// stops after a line feed or after maxChars characters; the text-mode reader
// it imitates sees CR LF as a single line feed.
size_t NextPieceLength(std::string_view text, size_t from, size_t maxChars) {
    size_t i = from;
    size_t chars = 0;
    while (i < text.size() && chars < maxChars) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') return i + 2 - from;
        if (text[i] == '\n') return i + 1 - from;
        ++i;
        ++chars;
    }
    return i - from;
}

constexpr size_t kBlockBytes = 64 * 1024;  // far more than the longest piece (2 x 1022 + 1)

// Only regular files are read: a folder, a pipe or a device in place of a
// settings file gives nothing (a pipe must not stall the reader in open).
int OpenRegularFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::optional<KeyValue> ReadKeyValueLine(std::string_view piece, LineForm form) {
    if (!piece.empty() && piece.front() == '#') return std::nullopt;
    std::string line(piece);
    if (form == LineForm::Manifest) line = TrimKeepingBlankText(line);
    size_t eq = line.find('=');
    if (eq == std::string::npos) return std::nullopt;
    KeyValue kv;
    kv.key = TrimKeepingBlankText(std::string_view(line).substr(0, eq));
    kv.value = TrimKeepingBlankText(std::string_view(line).substr(eq + 1));
    if (form == LineForm::Manifest) kv.key = ToUpper(kv.key);
    return kv;
}

LinePieces::LinePieces(std::string_view text, size_t maxChars, Form form)
    : text_(text), maxChars_(maxChars), form_(form), eof_(true) {}

std::optional<LinePieces> LinePieces::Open(const std::string& path, size_t maxChars, Form form) {
    return Adopt(OpenRegularFile(path), maxChars, form);
}

std::optional<LinePieces> LinePieces::Adopt(int fd, size_t maxChars, Form form) {
    if (fd < 0) return std::nullopt;
    LinePieces pieces;
    pieces.fd_ = fd;
    pieces.maxChars_ = maxChars;
    pieces.form_ = form;
    pieces.fromFile_ = true;
    pieces.eof_ = false;
    if (!pieces.Refill()) return std::nullopt;  // cannot be read at all
    return pieces;
}

LinePieces::LinePieces(LinePieces&& other) noexcept { *this = std::move(other); }

LinePieces& LinePieces::operator=(LinePieces&& other) noexcept {
    if (this == &other) return *this;
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    maxChars_ = other.maxChars_;
    form_ = other.form_;
    eof_ = std::exchange(other.eof_, true);
    fromFile_ = other.fromFile_;
    if (fromFile_) {
        // The view points into the other's block: keep its offset, not its address.
        const size_t consumed = other.buffer_.size() - other.text_.size();
        buffer_ = std::move(other.buffer_);
        text_ = std::string_view(buffer_).substr(consumed);
    } else {
        buffer_.clear();
        text_ = other.text_;
    }
    other.text_ = {};
    return *this;
}

LinePieces::~LinePieces() {
    if (fd_ >= 0) ::close(fd_);
}

// Keeps what is left to cut and appends the next block of the file. False on a
// read error (the end counts as read).
bool LinePieces::Refill() {
    buffer_.erase(0, buffer_.size() - text_.size());
    const size_t kept = buffer_.size();
    buffer_.resize(kept + kBlockBytes);
    ssize_t got;
    do {
        got = ::read(fd_, buffer_.data() + kept, kBlockBytes);
    } while (got < 0 && errno == EINTR);
    buffer_.resize(kept + (got > 0 ? static_cast<size_t>(got) : 0));
    text_ = buffer_;
    if (got <= 0) {
        eof_ = true;
        ::close(fd_);
        fd_ = -1;
    }
    return got >= 0;
}

bool LinePieces::Next(std::string& piece) {
    if (maxChars_ == 0) return false;
    size_t length = NextPieceLength(text_, 0, maxChars_);
    // A piece that reaches the end of the block may go on in the next one
    // (even a CR at the very end may be half of a CR LF).
    while (length == text_.size() && !eof_) {
        Refill();
        length = NextPieceLength(text_, 0, maxChars_);
    }
    if (length == 0) return false;
    piece.assign(text_.substr(0, length));
    text_.remove_prefix(length);
    if (form_ == Form::Text && piece.size() >= 2 && piece.ends_with("\r\n"))
        piece.erase(piece.size() - 2, 1);
    return true;
}

std::vector<std::string> SplitRawLinePieces(std::string_view text, size_t maxChars) {
    std::vector<std::string> out;
    LinePieces pieces(text, maxChars, LinePieces::Form::Raw);
    for (std::string piece; pieces.Next(piece);) out.push_back(piece);
    return out;
}

std::vector<std::string> SplitLinePieces(std::string_view text, size_t maxChars) {
    std::vector<std::string> out;
    LinePieces pieces(text, maxChars);
    for (std::string piece; pieces.Next(piece);) out.push_back(piece);
    return out;
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
    int fd = OpenRegularFile(path);
    if (fd < 0) return std::nullopt;
    std::string text;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && info.st_size > 0)
        text.reserve(static_cast<size_t>(info.st_size));  // one allocation, not a doubling series
    char block[kBlockBytes];
    ssize_t got;
    while ((got = ::read(fd, block, sizeof block)) != 0) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ::close(fd);
            return std::nullopt;
        }
        text.append(block, static_cast<size_t>(got));
    }
    ::close(fd);
    return text;
}

std::optional<std::vector<std::string>> ReadLinePieces(const std::string& path, size_t maxChars) {
    std::optional<LinePieces> pieces = LinePieces::Open(path, maxChars);
    if (!pieces) return std::nullopt;
    std::vector<std::string> out;
    for (const std::string& piece : *pieces) out.push_back(piece);
    return out;
}

std::optional<TypedLine> ParseTypedLine(std::string_view piece, std::string_view type) {
    if (!piece.starts_with(type) || piece.size() <= type.size() || piece[type.size()] != ':')
        return std::nullopt;
    std::string_view rest = piece.substr(type.size() + 1);
    size_t nameEnd = rest.find_first_of(":=");
    if (nameEnd == std::string_view::npos) nameEnd = rest.size();
    if (nameEnd == 0) return std::nullopt;
    TypedLine line;
    line.name = std::string(rest.substr(0, nameEnd));
    if (nameEnd < rest.size() && rest[nameEnd] == '=') {
        std::string_view after = rest.substr(nameEnd + 1);
        line.value = std::string(after.substr(0, after.find_first_of(":=\r\n")));
    }
    return line;
}

}  // namespace Data
