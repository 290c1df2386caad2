#include "data/SettingsFile.h"

#include <fcntl.h>
#include <unistd.h>

#include "data/DataFolders.h"
#include "data/KeyValueLine.h"
#include "data/Text.h"
#include "platform/CommandLine.h"
#include "platform/Platform.h"
#include "platform/RegularFile.h"

namespace Data {

namespace {

constexpr size_t npos = std::string_view::npos;
constexpr const char* kEditionRegistryPath = "SOFTWARE\\ZVN\\2007\\Edition";
constexpr size_t kEditionBufferChars = 253;  // 254-byte buffer with its terminator

// Leading blanks, leading quotes, trailing blanks, trailing quotes, in that order.
std::string TrimAddress(std::string_view text) {
    std::string out = StripStart(text, " ");
    out = StripStart(out, "\"");
    out = StripEnd(out, " ");
    return StripEnd(out, "\"");
}

// The alert server: what follows the last "/"-switch and its letter and blank
// ("/N host" gives host).
std::string AlertServer(std::string_view commandLine) {
    size_t slash = Sys::FindLastWord(commandLine, "/");
    if (slash == npos || slash + 3 > commandLine.size()) return {};
    return TrimAddress(commandLine.substr(slash + 3));
}

// Server text: after "/N " without quotes; in install mode only its last word.
std::string ServerText(std::string_view commandLine, size_t n, bool install) {
    if (n == npos) return {};
    std::string text = RemoveAll(commandLine.substr(n + 3), '"');
    if (install) {
        size_t blank = text.rfind(' ');
        if (blank != std::string::npos) text.erase(0, blank + 1);
    }
    return text;
}

std::string RegistryEdition() {
    std::optional<std::string> value = Sys::Current().RegistryValue(kEditionRegistryPath);
    if (!value || value->size() > kEditionBufferChars) return {};
    return *value;
}

bool Unset(const std::string& text) { return text.empty(); }
bool Unset(int32_t number) { return number < 0; }

void BuildAddress(PendingRecord& record) {
    const std::string commandLine = Sys::Current().CommandLine();
    const size_t a = Sys::FindWord(commandLine, "/alert");
    const size_t h = commandLine.find("http");
    const std::string year = std::to_string(record.year);

    if (h != npos && (a == npos || record.isAlert != "true")) {
        // Purchase: the state installer's address with "ver.txt" as its file name.
        // A purchase that follows an alert ("/alert" also given) is still a purchase.
        record.address = PurchaseManifestAddress(commandLine);
        record.output = CommonDataPath("Downloads/ver.txt");
        return;
    }
    if (a != npos && record.isAlert == "true") {
        record.address = "http://" + AlertServer(commandLine) + "/alert/" + year + "/win/" +
                         record.product + "/alert.txt";
        record.output = UserDataPath("alert.txt");
        return;
    }
    record.address = UpdateFileAddress(commandLine, record.year, record.product,
                                       record.installedVersion, record.manifestName);
}

// A text field of a record: filled when unset, emptied when set again.
// Returns true when the value was taken.
bool ApplyText(std::string& field, const std::string& value) {
    if (Unset(field)) {
        field = value;
        return true;
    }
    field.clear();
    return false;
}

void ApplyKey(PendingRecord& record, DownloadList& list, const std::string& key,
              const std::string& value) {
    if (key == "output" || key == "product" || key == "ver") {
        std::string& field = key == "output"    ? record.output
                             : key == "product" ? record.product
                                                : record.manifestName;
        if (ApplyText(field, value)) CompleteRecord(record, list);
    } else if (key == "camp" || key == "prom" || key == "isalert") {
        std::string& field = key == "camp"   ? record.camp
                             : key == "prom" ? record.prom
                                             : record.isAlert;
        if (ApplyText(field, value)) {
            CompleteRecord(record, list);
            list.SetValue(key, value);
        }
    } else if (key == "file-bytes" || key == "installed-ver" || key == "year") {
        int32_t& field = key == "file-bytes"      ? record.fileBytes
                         : key == "installed-ver" ? record.installedVersion
                                                  : record.year;
        field = Atoi32(value);
        CompleteRecord(record, list);
    } else {
        list.SetValue(key, value);
    }
}

}  // namespace

std::string PurchaseAddress(std::string_view commandLine) {
    size_t h = commandLine.find("http");
    if (h == npos) return {};
    size_t end = Sys::FindWord(commandLine, "/purchase", h);
    std::string_view address = commandLine.substr(h, end == npos ? npos : end - h);
    return TrimAddress(address);
}

std::string PurchaseManifestAddress(std::string_view commandLine) {
    std::string address = PurchaseAddress(commandLine);
    size_t slash = address.rfind('/');
    address.erase(slash == std::string::npos ? 0 : slash + 1);
    return address + "ver.txt";
}

std::string UpdateFileAddress(std::string_view commandLine, int32_t year,
                              const std::string& product, int32_t installedVersion,
                              const std::string& fileName) {
    const bool install = Sys::FindWord(commandLine, "/install") != npos;
    std::string address =
        "http://" +
        StripEnd(ServerText(commandLine, Sys::FindWord(commandLine, "/N "), install), " ") +
        "/updates/" + std::to_string(year) + "/win/" + product + "/";
    if (install) address += RegistryEdition() + "/";
    address += std::to_string(installedVersion) + "/" + fileName;
    return ToLower(address);
}

std::unique_ptr<DownloadList> LoadSettingsFile(const std::string& path) {
    // The tax program may name its request through a link.
    return LoadSettingsFile(Sys::OpenRegularFile(path, O_RDONLY, 0, Sys::LinkRule::Follow), path);
}

std::unique_ptr<DownloadList> LoadSettingsFile(int fd, const std::string& path) {
    auto list = std::make_unique<DownloadList>();
    PendingRecord record;
    const std::string alertMarker = path.find("alert.cfg") != std::string::npos ? "true" : "false";
    if (fd >= 0 && ::lseek(fd, 0, SEEK_SET) != 0) {
        ::close(fd);
        fd = -1;
    }
    std::optional<LinePieces> pieces = LinePieces::Adopt(fd, kSettingsPieceChars);
    if (!pieces) return list;
    for (const std::string& piece : *pieces) {
        if (std::optional<KeyValue> kv = ReadKeyValueLine(piece, LineForm::Settings))
            ApplyKey(record, *list, kv->key, kv->value);
        // The marker follows every line, so the is-alert field is filled and
        // emptied in turn; records complete at their last line or right after.
        ApplyKey(record, *list, "isalert", alertMarker);
    }
    return list;
}

void CompleteRecord(PendingRecord& record, DownloadList& list) {
    if (!record.address.empty()) return;
    if (Unset(record.output) || Unset(record.product) || Unset(record.manifestName) ||
        Unset(record.prom) || Unset(record.camp) || Unset(record.isAlert) ||
        Unset(record.fileBytes) || Unset(record.installedVersion) || Unset(record.year))
        return;
    BuildAddress(record);
    DownloadItem item;
    item.url = record.address;
    item.localPath = record.output;
    item.productCode = record.product;
    item.prom = record.prom;
    item.camp = record.camp;
    item.expectedSize = record.fileBytes;
    item.installedVersion = record.installedVersion;
    item.year = record.year;
    list.AppendItem(std::move(item));
    record.address.clear();
    record.output.clear();
    record.product.clear();
    record.manifestName.clear();
    record.prom.clear();
    record.camp.clear();
    record.fileBytes = -1;
    record.installedVersion = -1;
    record.year = -1;
}

int32_t GetEditionCode(const DownloadList& list) {
    if (!list.HasValue("edition")) return 7;
    const std::string edition = ToLower(list.GetValue("edition"));
    static constexpr std::pair<const char*, int32_t> kEditions[] = {
        {"premiumstateefile", 1}, {"premiumefile", 2}, {"premiumstate", 3},
        {"premium", 4},           {"standard", 5},     {"basic", 6},
    };
    for (const auto& [word, code] : kEditions)
        if (edition == word) return code;
    return 7;
}

}  // namespace Data
