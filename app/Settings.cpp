#include "app/Settings.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "data/DataFolders.h"
#include "data/SettingsFile.h"
#include "data/Text.h"
#include "download/UpdateAddress.h"
#include "platform/CommandLine.h"
#include "platform/Platform.h"
#include "platform/RegularFile.h"
#include "platform/TrustedFolder.h"

namespace App {

namespace {

bool Separates(char c) { return c == ' ' || c == '\t' || c == '"'; }

// Removes the switch `word` where it stands whole at the start or the end.
std::string StripSwitch(const std::string& text, const std::string& word) {
    std::string out = text;
    if (out.compare(0, word.size(), word) == 0 &&
        (out.size() == word.size() || Separates(out[word.size()])))
        out.erase(0, word.size());
    if (out.size() >= word.size() &&
        out.compare(out.size() - word.size(), word.size(), word) == 0 &&
        (out.size() == word.size() || Separates(out[out.size() - word.size() - 1])))
        out.erase(out.size() - word.size());
    return out;
}

}  // namespace

std::string SettingsPath(const std::string& trimmedArguments, bool alertFound, bool hideFound) {
    std::string path;
    // Searches start after the first character: a path begins with "/", and
    // the path must come before the switch anyway.
    if (!alertFound) {
        size_t n = Sys::FindWord(trimmedArguments, "/N", 1);
        if (n != std::string::npos) path = Data::StripStart(trimmedArguments.substr(0, n), " ");
    } else {
        // "/alert" and "/hide" may lead or trail the path, in any order.
        std::string text = trimmedArguments;
        for (std::string before; before != text;) {
            before = text;
            text = Data::StripBoth(text, " ");
            if (hideFound) text = StripSwitch(text, "/hide");
            text = StripSwitch(text, "/alert");
        }
        // A quoted path: its opening quote must not make its own "/" a switch.
        text = Data::StripStart(text, "\t \"'");
        size_t slash = Sys::FindWord(text, "/", 1);
        if (slash != std::string::npos) path = text.substr(0, slash);
    }
    path = Data::StripEnd(path, " ");
    return Data::StripBoth(path, "\t \"'");
}

std::string AlertSettingsPath() { return Data::UserDataPath("alert.cfg"); }

std::string PurchaseSettingsPath() { return Data::CommonDataPath("purchase.cfg"); }

std::vector<std::string> AlertSettingsLines() {
    return {"prom=ALRT",
            "camp=411411",
            "edition=premium",
            "year=2007",
            std::string("product=") + "alert",
            "ver=alert.txt",
            "output=" + Data::UserDataPath("alert.txt"),
            "file-bytes=0",
            "installed-ver=1000"};
}

std::vector<std::string> PurchaseSettingsLines(const std::string& stateCode) {
    return {"prom=STTE",
            "camp=888888",
            "edition=premium",
            "year=2007",
            "product=" + stateCode,
            "ver=ver.txt",
            "output=" + Data::CommonDataPath("Downloads/ver.txt"),
            "file-bytes=0",
            "installed-ver=0100"};
}

std::unique_ptr<Data::DownloadList> WriteSettingsLines(const std::string& path,
                                                       const std::vector<std::string>& lines) {
    const Sys::TrustedFolder folder = Sys::OpenTrustedFolder(Sys::FolderOf(path), false);
    if (!folder.Ok()) return nullptr;
    const size_t slash = path.rfind('/');
    // The all-users folder is shared: only a regular file of one name, opened
    // without following a link, is truncated and written.
    const int fd = Sys::OpenRegularFileAt(
        folder.Fd(), slash == std::string::npos ? path : path.substr(slash + 1), O_RDWR | O_CREAT,
        0644, Sys::LinkRule::Refuse, Sys::NameRule::Single);
    if (fd < 0) return nullptr;
    std::string bytes;
    for (const auto& line : lines) bytes += line + "\r\n";
    if (ftruncate(fd, 0) != 0 || !Sys::WriteAll(fd, bytes)) {
        close(fd);
        return nullptr;
    }
    return Data::LoadSettingsFile(fd, path);
}

bool SafeFolder(const std::string& folder) {
    const Sys::TrustedFolder trusted = Sys::OpenTrustedFolder(folder, false);
    if (!Sys::Unsafe(trusted.Fault())) return true;
    Sys::ReportUnsafeFolder(trusted);
    return false;
}

std::string CannotWriteText(const std::string& path) {
    return "The Software Manager could not write the file\n" + path + "\nand will now exit.";
}

std::string PurchaseAddress() { return Transfer::StateAddress(Sys::Current().CommandLine()); }

std::string PurchaseFileName(const std::string& address) {
    size_t slash = address.rfind('/');
    return slash == std::string::npos ? address : address.substr(slash + 1);
}

std::string PurchaseStateCode(const std::string& address) {
    size_t exe = address.find(".exe");
    std::string code;
    if (exe != std::string::npos) {
        if (exe >= 2) code += address[exe - 2];
        if (exe >= 1) code += address[exe - 1];
    }
    return Data::ToLower(code);
}

bool UsableFileName(const std::string& name) {
    return !name.empty() && name != "." && name != "..";
}

std::string BadAddressText(const std::string& address) {
    return "The state download address does not name a file:\n" + address +
           "\nThe Software Manager will now exit.";
}

}  // namespace App
