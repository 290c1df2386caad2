#include "tools/publish/Release.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <utility>

#include "data/KeyValueLine.h"
#include "data/Manifest.h"
#include "data/Rollout.h"
#include "data/Sha256.h"
#include "data/SignedText.h"
#include "data/Text.h"
#include "download/Patch.h"
#include "platform/RegularFile.h"
#include "tools/publish/Publish.h"

namespace Publish {

namespace {

constexpr const char* kManifestName = "ver.txt";
// Beside the version folders, so its files can be hard-linked into them.
constexpr const char* kStagingName = ".tessra-release";
// Names that start with a dot are never served (the shipped nginx site).
constexpr const char* kTempSuffix = ".tessra-tmp";
constexpr size_t kNamePrefixDigits = 12;

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { Reset(); }
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    void Reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

std::string Reason(const std::string& what) { return what + ": " + std::strerror(errno); }

// A version or year as the program writes it into addresses: no sign, no leading zero.
bool IsNumber(const std::string& text) {
    return !text.empty() && text.size() <= 9 &&
           text.find_first_not_of("0123456789") == std::string::npos &&
           (text == "0" || text[0] != '0');
}

bool IsCode(const std::string& text) {
    if (text.empty() || text.size() > 16) return false;
    for (char c : text)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            return false;
    return true;
}

bool IsBareName(const std::string& name) {
    if (name.empty() || name.size() > 200 || name[0] == '.') return false;
    for (char c : name)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '-' || c == '_'))
            return false;
    return true;
}

// A name inside an open folder, so whatever opens it by path ends where the
// walk ended, whatever happens to the folders above meanwhile.
std::string Through(int folder, const std::string& name) {
    return "/proc/self/fd/" + std::to_string(folder) + "/" + name;
}

// Messages name the folder as the publisher knows it.
std::string Shown(std::string text, int folder, const std::string& path) {
    const std::string inner = "/proc/self/fd/" + std::to_string(folder);
    for (size_t at = text.find(inner); at != std::string::npos; at = text.find(inner, at))
        text.replace(at, inner.size(), path);
    return text;
}

// Opens `name` in `parent` as a folder (made first when `create`): never
// through a link, never one this user cannot write. A missing folder leaves
// `folder` closed without an error when it may be made later.
std::string OpenFolderAt(int parent, const std::string& name, const std::string& shown, bool create,
                         Fd& folder) {
    folder.Reset();
    if (create && ::mkdirat(parent, name.c_str(), 0755) != 0 && errno != EEXIST)
        return Reason("cannot create " + shown);
    struct stat st {};
    if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? std::string() : Reason("cannot open " + shown);
    if (S_ISLNK(st.st_mode)) return shown + " is a link; links in the tree are not followed";
    if (!S_ISDIR(st.st_mode)) return shown + " is not a folder";
    folder = Fd(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.ok()) return Reason("cannot open " + shown);
    if (::faccessat(folder.get(), ".", W_OK, 0) != 0) return shown + " is not writable";
    return std::string();
}

// The entries of a folder that name a version (or a year), in numeric order.
std::vector<long> NumberedFolders(int folder) {
    std::vector<long> numbers;
    const int copy = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!dir) {
        if (copy >= 0) ::close(copy);
        return numbers;
    }
    while (const dirent* entry = ::readdir(dir)) {
        struct stat st {};
        const std::string name = entry->d_name;
        if (IsNumber(name) && ::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode)))
            numbers.push_back(std::stol(name));
    }
    ::closedir(dir);
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

// Removes a folder of plain files (an earlier run's staging folder), or a
// link or file in its place.
std::string RemoveFolder(int parent, const std::string& name, const std::string& shown) {
    struct stat st {};
    if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? std::string() : Reason("cannot remove " + shown);
    if (!S_ISDIR(st.st_mode))
        return ::unlinkat(parent, name.c_str(), 0) == 0 ? std::string()
                                                        : Reason("cannot remove " + shown);
    Fd folder(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    DIR* dir = folder.ok() ? ::fdopendir(::dup(folder.get())) : nullptr;
    if (!dir) return Reason("cannot remove " + shown);
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    ::closedir(dir);
    for (const std::string& file : names) ::unlinkat(folder.get(), file.c_str(), 0);
    return ::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 ? std::string()
                                                               : Reason("cannot remove " + shown);
}

// Copies the rest of `in` to `out` (hashed when asked), then makes it durable.
bool CopyData(int in, int out, Data::Sha256* hash) {
    std::vector<char> block(Data::kHashBlockBytes);
    for (;;) {
        const ssize_t got = ::read(in, block.data(), block.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        if (hash) hash->Update(block.data(), static_cast<size_t>(got));
        if (!Sys::WriteAll(out, std::string_view(block.data(), static_cast<size_t>(got))))
            return false;
    }
    return ::fsync(out) == 0;
}

std::optional<std::string> HashOf(int fd) {
    Data::Sha256 hash;
    std::vector<char> block(Data::kHashBlockBytes);
    for (;;) {
        const ssize_t got = ::read(fd, block.data(), block.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        hash.Update(block.data(), static_cast<size_t>(got));
    }
    std::string hex = hash.HexDigest();
    if (hex.empty()) return std::nullopt;
    return hex;
}

int64_t SizeAt(int folder, const std::string& name) {
    struct stat st {};
    return ::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? st.st_size : -1;
}

// A new file of `text` under `temp` in the folder (an earlier run's removed first).
std::string WriteTemp(int folder, const std::string& temp, const std::string& text,
                      const std::string& shown) {
    ::unlinkat(folder, temp.c_str(), 0);
    Fd fd(
        ::openat(folder, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.ok() || ::fchmod(fd.get(), 0644) != 0 || !Sys::WriteAll(fd.get(), text) ||
        ::fsync(fd.get()) != 0)
        return Reason("cannot write " + shown);
    return std::string();
}

// The staged file under `temp` in the folder: a second name of the same file,
// or a copy where the file system cannot link.
std::string PlaceTemp(int staging, const std::string& file, int folder, const std::string& temp,
                      const std::string& shown) {
    ::unlinkat(folder, temp.c_str(), 0);
    if (::linkat(staging, file.c_str(), folder, temp.c_str(), 0) == 0) return std::string();
    if (errno != EXDEV && errno != EPERM && errno != EMLINK && errno != EOPNOTSUPP)
        return Reason("cannot write " + shown);
    Fd in(Sys::OpenRegularFileAt(staging, file, O_RDONLY));
    Fd out(
        ::openat(folder, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!in.ok() || !out.ok() || ::fchmod(out.get(), 0644) != 0 ||
        !CopyData(in.get(), out.get(), nullptr))
        return Reason("cannot write " + shown);
    return std::string();
}

std::string TempName(const std::string& file) { return "." + file + kTempSuffix; }

std::string Percent(int64_t part, int64_t whole) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %%", whole > 0 ? 100.0 * part / whole : 0.0);
    return text;
}

struct Target {
    long version = 0;
    std::string path;
    Fd fd;
    bool update = true;  // an installed version's folder; else the release's own
};

// Undoes what a run that stops early wrote: its staging folder and temporary names.
struct Leftovers {
    int product = -1;
    std::string stagingShown;
    std::string privateStaging;  // a dry run's folder outside the tree
    std::vector<std::pair<int, std::string>> temps;
    bool keep = false;
    ~Leftovers() {
        if (keep) return;
        for (const auto& [folder, name] : temps) ::unlinkat(folder, name.c_str(), 0);
        if (!privateStaging.empty()) RemoveFolder(AT_FDCWD, privateStaging, privateStaging);
        if (product >= 0) RemoveFolder(product, kStagingName, stagingShown);
    }
};

}  // namespace

std::string Release(const ReleaseRequest& r, std::ostream& out) {
    if (!IsCode(r.product))
        return "--product wants a product code of letters and digits: " + r.product;
    if (!IsNumber(r.year)) return "--year wants a whole number: " + r.year;
    if (!IsNumber(r.version)) return "--version wants a whole number: " + r.version;
    if (!IsBareName(r.name) || r.name == kManifestName)
        return "--name wants a file name of letters, digits, '.', '-' or '_': " + r.name;
    std::optional<Data::Rollout> rollout;
    if (!r.rolloutHours.empty()) {
        if (!IsNumber(r.rolloutHours) || std::stol(r.rolloutHours) < 1 ||
            std::stol(r.rolloutHours) > Data::kMaxRolloutHours)
            return "--rollout-hours wants a whole number from 1 to " +
                   std::to_string(Data::kMaxRolloutHours) + ": " + r.rolloutHours;
        rollout = Data::Rollout{std::time(nullptr), std::stol(r.rolloutHours), std::nullopt};
    }
    const long version = std::stol(r.version);
    std::vector<long> installed;
    for (const std::string& text : r.installed) {
        if (!IsNumber(text)) return "--for wants whole numbers: " + text;
        installed.push_back(std::stol(text));
        if (installed.back() >= version)
            return "version " + r.version + " is not above the installed version " + text;
    }
    if (!r.keyPath.empty()) {
        std::string probe;
        std::string error = SignText(r.keyPath, "probe\r\n", probe);
        if (!error.empty()) return "the key does not load: " + error;
    }
    errno = 0;
    Fd input(Sys::OpenRegularFile(r.installer, O_RDONLY, 0, Sys::LinkRule::Follow));
    struct stat st {};
    if (!input.ok())
        return errno != 0 ? Reason("cannot open " + r.installer)
                          : r.installer + " is not a regular file";
    if (::fstat(input.get(), &st) != 0 || st.st_size < 1 || st.st_size > INT32_MAX)
        return "the installer must have from 1 to " + std::to_string(INT32_MAX) + " bytes";

    // The tree, folder by folder; a dry run makes none of the missing ones.
    const bool create = !r.dryRun;
    const std::string code = Data::ToLower(r.product);
    Fd folder;
    std::string error = OpenFolderAt(AT_FDCWD, r.tree, r.tree, false, folder);
    if (!error.empty()) return error;
    if (!folder.ok()) return r.tree + " does not exist";
    std::string path = r.tree;
    for (const std::string& name : {std::string("updates"), r.year, std::string("win"), code}) {
        path += "/" + name;
        Fd child;
        if (folder.ok()) {
            error = OpenFolderAt(folder.get(), name, path, create, child);
            if (!error.empty()) return error;
        }
        folder = std::move(child);
    }
    Fd product = std::move(folder);
    const std::string productPath = path;

    if (installed.empty() && product.ok())
        for (long number : NumberedFolders(product.get()))
            if (number != version) installed.push_back(number);
    std::sort(installed.begin(), installed.end());
    installed.erase(std::unique(installed.begin(), installed.end()), installed.end());
    if (installed.empty())
        return "no installed version of " + code + " in " + productPath + ": name them with --for";
    for (long number : installed)
        if (number >= version)
            return "version " + r.version + " is not above the installed version " +
                   std::to_string(number);

    std::vector<Target> targets;
    installed.push_back(version);
    for (long number : installed) {
        Target target;
        target.version = number;
        target.update = number != version;
        target.path = productPath + "/" + std::to_string(number);
        if (product.ok()) {
            error =
                OpenFolderAt(product.get(), std::to_string(number), target.path, create, target.fd);
            if (!error.empty()) return error;
        }
        targets.push_back(std::move(target));
    }

    // The staging folder: beside the version folders, or private for a dry run.
    Leftovers leftovers;
    Fd staging;
    std::string stagingPath;
    if (r.dryRun) {
        const char* temp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(temp && temp[0] == '/' ? temp : "/tmp") + "/tessra-release.XXXXXX";
        if (!::mkdtemp(pattern.data())) return Reason("cannot make a folder for the dry run");
        leftovers.privateStaging = stagingPath = pattern;
        staging = Fd(::open(pattern.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    } else {
        // One release of a product at a time; an earlier run's leftovers go.
        if (::flock(product.get(), LOCK_EX | LOCK_NB) != 0)
            return "another release of " + code + " is running in " + productPath;
        stagingPath = productPath + "/" + kStagingName;
        error = RemoveFolder(product.get(), kStagingName, stagingPath);
        if (!error.empty()) return error;
        leftovers.product = product.get();
        leftovers.stagingShown = stagingPath;
        if (::mkdirat(product.get(), kStagingName, 0700) != 0)
            return Reason("cannot create " + stagingPath);
        error = OpenFolderAt(product.get(), kStagingName, stagingPath, false, staging);
        if (!error.empty()) return error;
    }
    if (!staging.ok()) return Reason("cannot open " + stagingPath);
    const int stage = staging.get();
    auto shown = [&](const std::string& text) { return Shown(text, stage, stagingPath); };

    // The installer as served, hashed as it is copied.
    Data::Sha256 hash;
    {
        Fd copy(::openat(stage, r.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (!copy.ok() || ::fchmod(copy.get(), 0644) != 0 ||
            !CopyData(input.get(), copy.get(), &hash))
            return Reason("cannot copy " + r.installer + " to " + stagingPath);
    }
    const std::string sha256 = hash.HexDigest();
    if (sha256.empty()) return "cannot hash " + r.installer;
    const int64_t size = st.st_size;
    const std::string tag = sha256.substr(0, kNamePrefixDigits);
    out << "installer " << r.installer << ": " << size << " bytes, sha256 " << sha256 << '\n';

    ManifestFields fields{
        r.product, r.year, r.version, r.message, r.keyPath, Through(stage, r.name), ""};
    std::map<std::string, std::string> baseOf;  // patch name -> the earlier installer
    for (const std::string& old : r.deltaFrom) {
        errno = 0;
        Fd base(Sys::OpenRegularFile(old, O_RDONLY, 0, Sys::LinkRule::Follow));
        if (!base.ok())
            return errno != 0 ? Reason("cannot open " + old) : old + " is not a regular file";
        std::optional<std::string> baseSha = HashOf(base.get());
        if (!baseSha) return Reason("cannot read " + old);
        if (*baseSha == sha256) {
            out << "left out " << old << ": the same bytes as the installer\n";
            continue;
        }
        const std::string patch =
            r.name + "-" + tag + "-from-" + baseSha->substr(0, kNamePrefixDigits) + ".patch";
        if (baseOf.count(patch)) continue;
        error = Transfer::MakePatch(old, Through(stage, r.name), Through(stage, patch));
        if (!error.empty()) return shown(error);
        // The server's workers read what the staging folder passes on.
        if (::fchmodat(stage, patch.c_str(), 0644, 0) != 0)
            return Reason("cannot make " + stagingPath + "/" + patch + " readable");
        baseOf[patch] = old;
        fields.deltas.push_back(old + ":" + Through(stage, patch));
    }
    if (r.packed) {
        const std::string packed = r.name + "-" + tag + ".zst";
        error = Transfer::MakePacked(Through(stage, r.name), Through(stage, packed));
        if (!error.empty()) return shown(error);
        if (::fchmodat(stage, packed.c_str(), 0644, 0) != 0)
            return Reason("cannot make " + stagingPath + "/" + packed + " readable");
        fields.packed = Through(stage, packed);
    }
    // The rollout starts as the manifests are made, not before the patches were.
    if (rollout) {
        rollout->start = std::time(nullptr);
        fields.rollout = Data::FormatRollout(*rollout);
    }

    std::string updateText, currentText;
    std::vector<std::string> leftOut;
    error = MakeManifest(fields, updateText, &leftOut);
    if (!error.empty()) return shown(error);
    for (const std::string& line : leftOut) out << shown(line) << '\n';
    ManifestFields own{r.product, r.year, r.version, r.message, r.keyPath, fields.installer, ""};
    error = MakeManifest(own, currentText);
    if (!error.empty()) return shown(error);

    // The files the update manifest names, as it names them.
    std::vector<std::string> payload{r.name};
    Data::LinePieces lines(updateText, Data::kManifestPieceChars);
    for (const std::string& piece : lines) {
        std::optional<Data::KeyValue> kv = Data::ReadKeyValueLine(piece, Data::LineForm::Manifest);
        if (!kv) continue;
        if (kv->key == "DELTA") {
            if (auto offer = Data::ParseDeltaOffer(kv->value)) {
                payload.push_back(offer->patchName);
                out << "delta from " << baseOf[offer->patchName] << ": " << offer->patchName << ", "
                    << offer->patchSize << " bytes (" << Percent(offer->patchSize, size)
                    << " of the installer): kept\n";
            }
        } else if (kv->key == "PACKED") {
            if (auto offer = Data::ParsePackedOffer(kv->value)) {
                payload.push_back(offer->name);
                out << "packed " << offer->name << ", " << offer->size << " bytes ("
                    << Percent(offer->size, size) << " of the installer): kept\n";
            }
        }
    }

    const std::string what = std::string(r.keyPath.empty() ? "" : ", signed") +
                             (rollout ? ", ROLLOUT=" + fields.rollout : std::string());
    for (const Target& target : targets) {
        if (target.update)
            for (const std::string& file : payload)
                out << target.path << '/' << file << ": " << SizeAt(stage, file) << " bytes\n";
        out << target.path << '/' << kManifestName << ": VERSION=" << r.version
            << (target.update ? " for " + std::to_string(target.version) + what
                              : ", up to date" + std::string(r.keyPath.empty() ? "" : ", signed"))
            << '\n';
    }
    if (r.dryRun) {
        out << "dry run: nothing written\n";
        return std::string();
    }

    // Every file under its temporary name, the manifests last; nothing served changes yet.
    for (const Target& target : targets)
        for (const std::string& file : target.update ? payload : std::vector<std::string>()) {
            leftovers.temps.emplace_back(target.fd.get(), TempName(file));
            error = PlaceTemp(stage, file, target.fd.get(), TempName(file),
                              target.path + "/" + TempName(file));
            if (!error.empty()) return error;
        }
    for (const Target& target : targets) {
        const std::string temp = TempName(kManifestName);
        leftovers.temps.emplace_back(target.fd.get(), temp);
        error = WriteTemp(target.fd.get(), temp, target.update ? updateText : currentText,
                          target.path + "/" + temp);
        if (!error.empty()) return error;
    }
    // Tests stop a run here as a crash would, to see that the tree stays usable.
    if (const char* stop = std::getenv("TESSRA_PUBLISH_TEST_CRASH");
        stop && std::strcmp(stop, "before-rename") == 0) {
        leftovers.keep = true;
        std::raise(SIGKILL);
    }

    // Renames only: each folder's files, then its manifest.
    for (const Target& target : targets) {
        std::vector<std::string> files = target.update ? payload : std::vector<std::string>();
        files.push_back(kManifestName);
        for (const std::string& file : files)
            if (::renameat(target.fd.get(), TempName(file).c_str(), target.fd.get(),
                           file.c_str()) != 0)
                return Reason("cannot rename " + target.path + "/" + TempName(file));
        ::fsync(target.fd.get());
    }
    leftovers.temps.clear();
    out << "released " << code << " " << r.version << " to " << targets.size() - 1
        << " installed version" << (targets.size() == 2 ? "" : "s") << '\n';
    return std::string();
}

namespace {

struct FoundManifest {
    std::string path;
    Fd folder;
    std::string text;
    long version = 0;
    std::optional<Data::Rollout> rollout;
};

// The last VERSION and well-formed ROLLOUT lines, read as the program reads them.
std::optional<FoundManifest> ReadManifestAt(Fd folder, const std::string& path) {
    Fd fd(Sys::OpenRegularFileAt(folder.get(), kManifestName, O_RDONLY));
    if (!fd.ok()) return std::nullopt;
    std::string text;
    char block[4096];
    for (;;) {
        const ssize_t got = ::read(fd.get(), block, sizeof block);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        text.append(block, static_cast<size_t>(got));
        if (text.size() > Data::kMaxSignedTextBytes) return std::nullopt;
    }
    FoundManifest found;
    Data::LinePieces lines(text, Data::kManifestPieceChars);
    for (const std::string& piece : lines) {
        std::optional<Data::KeyValue> kv = Data::ReadKeyValueLine(piece, Data::LineForm::Manifest);
        if (!kv) continue;
        if (kv->key == "VERSION") found.version = Data::Atoi32(kv->value);
        if (kv->key == Data::kRolloutKey)
            if (auto parsed = Data::ParseRollout(kv->value)) found.rollout = parsed;
    }
    found.path = path + "/" + kManifestName;
    found.folder = std::move(folder);
    found.text = std::move(text);
    return found;
}

// The text with every ROLLOUT line's value replaced, line ends kept.
std::string WithRollout(std::string_view body, const std::string& value) {
    std::string text;
    size_t at = 0;
    while (at < body.size()) {
        size_t end = body.find('\n', at);
        end = end == std::string_view::npos ? body.size() : end + 1;
        std::string_view line = body.substr(at, end - at);
        std::string_view content = line;
        while (!content.empty() && (content.back() == '\n' || content.back() == '\r'))
            content.remove_suffix(1);
        std::optional<Data::KeyValue> kv =
            Data::ReadKeyValueLine(content, Data::LineForm::Manifest);
        if (kv && kv->key == Data::kRolloutKey)
            text += std::string(Data::kRolloutKey) + "=" + value +
                    std::string(line.substr(content.size()));
        else
            text += line;
        at = end;
    }
    return text;
}

}  // namespace

std::string ChangeRollout(const RolloutRequest& r, std::ostream& out) {
    if (!IsCode(r.product))
        return "--product wants a product code of letters and digits: " + r.product;
    if (!r.year.empty() && !IsNumber(r.year)) return "--year wants a whole number: " + r.year;
    if (r.change == RolloutChange::Hours && (!IsNumber(r.hours) || std::stol(r.hours) < 1 ||
                                             std::stol(r.hours) > Data::kMaxRolloutHours))
        return "--hours wants a whole number from 1 to " + std::to_string(Data::kMaxRolloutHours) +
               ": " + r.hours;
    const std::string code = Data::ToLower(r.product);

    Fd root, updates;
    std::string error = OpenFolderAt(AT_FDCWD, r.tree, r.tree, false, root);
    if (error.empty() && root.ok())
        error = OpenFolderAt(root.get(), "updates", r.tree + "/updates", false, updates);
    if (!error.empty()) return error;
    if (!updates.ok()) return r.tree + "/updates does not exist";
    std::vector<long> years;
    if (r.year.empty())
        years = NumberedFolders(updates.get());
    else
        years.push_back(std::stol(r.year));

    std::vector<FoundManifest> found;
    for (long year : years) {
        std::string path = r.tree + "/updates/" + std::to_string(year);
        Fd folder;
        error = OpenFolderAt(updates.get(), std::to_string(year), path, false, folder);
        for (const std::string& name : {std::string("win"), code}) {
            if (!error.empty() || !folder.ok()) break;
            path += "/" + name;
            Fd child;
            error = OpenFolderAt(folder.get(), name, path, false, child);
            folder = std::move(child);
        }
        if (!error.empty()) return error;
        if (!folder.ok()) continue;
        for (long number : NumberedFolders(folder.get())) {
            const std::string versionPath = path + "/" + std::to_string(number);
            Fd versionFolder;
            error = OpenFolderAt(folder.get(), std::to_string(number), versionPath, false,
                                 versionFolder);
            if (!error.empty()) return error;
            if (auto manifest = ReadManifestAt(std::move(versionFolder), versionPath))
                found.push_back(std::move(*manifest));
        }
    }
    long current = -1;
    for (const FoundManifest& manifest : found) current = std::max(current, manifest.version);
    const bool staged = std::any_of(found.begin(), found.end(), [current](const auto& manifest) {
        return manifest.version == current && manifest.rollout;
    });
    if (!staged)
        return "no manifest of " + code + (current < 0 ? "" : " " + std::to_string(current)) +
               " in " + r.tree + " has a ROLLOUT line";

    // Every new text first, so a missing key changes nothing.
    const std::time_t now = std::time(nullptr);
    struct Rewrite {
        const FoundManifest* manifest;
        std::string text, value;
    };
    std::vector<Rewrite> rewrites;
    for (const FoundManifest& manifest : found) {
        if (manifest.version != current || !manifest.rollout) continue;
        Data::Rollout rollout = *manifest.rollout;
        if (r.change == RolloutChange::Pause) {
            if (rollout.paused) {
                out << manifest.path << ": paused since " << Data::FormatUtcTime(*rollout.paused)
                    << '\n';
                continue;
            }
            rollout.paused = now;
        } else if (r.change == RolloutChange::Resume) {
            if (!rollout.paused) {
                out << manifest.path << ": not paused\n";
                continue;
            }
            // The share reached when it paused is where it goes on from.
            rollout.start += std::max<std::time_t>(0, now - *rollout.paused);
            rollout.paused.reset();
        } else {
            rollout.hours = std::stol(r.hours);
        }
        const Data::SignedParts parts = Data::SplitSignedText(manifest.text);
        const std::string value = Data::FormatRollout(rollout);
        std::string text = WithRollout(parts.body, value);
        if (parts.signature && r.keyPath.empty())
            return manifest.path + " is signed: give --key to sign it again";
        if (!r.keyPath.empty()) {
            std::string signedText;
            error = SignText(r.keyPath, text, signedText);
            if (!error.empty()) return error;
            text = std::move(signedText);
        }
        rewrites.push_back({&manifest, std::move(text), value});
    }
    for (const auto& [manifest, text, value] : rewrites) {
        const int folder = manifest->folder.get();
        const std::string temp = TempName(kManifestName);
        error = WriteTemp(folder, temp, text, manifest->path);
        if (error.empty() && ::renameat(folder, temp.c_str(), folder, kManifestName) != 0)
            error = Reason("cannot rename " + manifest->path);
        if (!error.empty()) {
            ::unlinkat(folder, temp.c_str(), 0);
            return error;
        }
        ::fsync(folder);
        out << manifest->path << ": ROLLOUT=" << value << '\n';
    }
    return std::string();
}

}  // namespace Publish
