#include "data/ProgramSettings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "data/DataFolders.h"
#include "data/KeyValueLine.h"

namespace Data {

namespace {

constexpr const char* kMarkName = "ui_prop_tessra_updated";
constexpr const char* kMarkLine = "bool:ui_prop_tessra_updated=true";

// The file's own line end, judged by its first line: CR LF or LF.
std::string FileLineEnd(const std::string& text) {
    size_t lf = text.find('\n');
    return lf != std::string::npos && lf > 0 && text[lf - 1] == '\r' ? "\r\n" : "\n";
}

std::string WithMark(const std::string& text) {
    const std::string lineEnd = FileLineEnd(text);
    std::string out;
    out.reserve(text.size() + 64);
    bool found = false;
    for (const std::string& piece : LinePieces(text, kTypedPieceChars, LinePieces::Form::Raw)) {
        if (piece.find(kMarkName) != std::string::npos) {
            std::optional<TypedLine> line = ParseTypedLine(piece, "bool");
            if (line && line->name == kMarkName) {
                out += kMarkLine;
                if (piece.ends_with("\r\n"))
                    out += "\r\n";
                else if (piece.ends_with("\n"))
                    out += "\n";
                else
                    out += lineEnd;
                found = true;
                continue;
            }
        }
        out += piece;
    }
    if (!found) {
        // A last line without its line end must not run into the mark.
        if (!out.empty() && out.back() != '\n') out += lineEnd;
        out += kMarkLine + lineEnd;
    }
    return out;
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Replaces the file's contents through a temporary file in the same folder, so
// a failed write leaves the original whole. Keeps the original's permissions.
bool ReplaceContents(const std::string& path, const std::string& text) {
    std::string target = path;
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        target = real;  // rewrite the file a link points at, not the link
        std::free(real);
    }
    struct stat info {};
    if (::stat(target.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    // The file must be writable as it is: a read-only settings file stays untouched.
    int probe = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
    if (probe < 0) return false;
    ::close(probe);

    size_t slash = target.rfind('/');
    std::string folder = slash == std::string::npos ? "." : target.substr(0, slash);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string temp = folder + "/." + base + ".XXXXXX";
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, text);
    ok = ok && ::fchmod(fd, info.st_mode & 07777) == 0;
    if (ok && ::fchown(fd, info.st_uid, info.st_gid) != 0) {
        // Only root can hand the file to another owner; the user's own file needs nothing.
    }
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

}  // namespace

std::string ProgramSettingsPath() { return UserDataPath("ts07.cfg"); }

bool MarkProgramUpdated(const std::string& path) {
    std::optional<std::string> text = ReadWholeFile(path);
    if (!text) return false;
    return ReplaceContents(path, WithMark(*text));
}

}  // namespace Data
