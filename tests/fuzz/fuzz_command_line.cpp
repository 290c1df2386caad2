// The command-line rules and every address built from a command line.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "app/Settings.h"
#include "data/DataFolders.h"
#include "data/Manifest.h"
#include "data/Proxy.h"
#include "data/SettingsFile.h"
#include "data/Text.h"
#include "download/UpdateAddress.h"
#include "platform/CommandLine.h"
#include "platform/FakePlatform.h"
#include "platform/LinuxPlatform.h"

using namespace Data;

namespace {

constexpr size_t npos = std::string_view::npos;

bool BeginsWord(std::string_view text, size_t pos) {
    return pos == 0 || text[pos - 1] == ' ' || text[pos - 1] == '\t' || text[pos - 1] == '"';
}

// The switch rule, the slow way: every position where the word stands.
std::vector<size_t> Occurrences(std::string_view text, std::string_view word) {
    std::vector<size_t> found;
    for (size_t pos = 0; pos + word.size() <= text.size(); ++pos)
        if (text.substr(pos, word.size()) == word && (word[0] != '/' || BeginsWord(text, pos)))
            found.push_back(pos);
    return found;
}

void CheckWordSearch(std::string_view text, std::string_view word, size_t from) {
    std::vector<size_t> all = Occurrences(text, word);
    size_t first = npos;
    for (size_t pos : all)
        if (pos >= from) {
            first = pos;
            break;
        }
    FUZZ_CHECK(Sys::FindWord(text, word, from) == first);
    FUZZ_CHECK(Sys::FindLastWord(text, word) == (all.empty() ? npos : all.back()));
}

// Arguments without quotes survive being joined into a command line and split again.
void CheckJoinAndSplit(const std::string& text) {
    std::vector<std::string> args;
    std::string current;
    for (char c : text + '\n') {
        if (c == '\n') {
            if (!current.empty()) args.push_back(current);
            current.clear();
        } else if (c != '"' && c != '\\' && c != '\0') {
            current += c;
        }
    }
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    std::string line = Sys::JoinCommandLine(static_cast<int>(argv.size()), argv.data());
    FUZZ_CHECK(Sys::SplitParameters(line) == args);

    // The argument text is what follows the program, without the blanks between.
    Sys::LinuxPlatform linux;
    linux.SetCommandLine(line);
    const std::string tail = linux.ArgumentText();
    FUZZ_CHECK(line.ends_with(tail));
    FUZZ_CHECK(!tail.starts_with(' ') && !tail.starts_with('\t'));
    if (!args.empty())
        FUZZ_CHECK(Sys::SplitParameters(tail) ==
                   std::vector<std::string>(args.begin() + 1, args.end()));
}

void CheckSettingsPath(const std::string& arguments, bool alert, bool hide) {
    const std::string trimmed = StripBoth(arguments, "\t \"'");
    const std::string path = App::SettingsPath(trimmed, alert, hide);
    // The path is cut out of the text, never made up, and has no separators at its ends.
    FUZZ_CHECK(trimmed.find(path) != std::string::npos);
    FUZZ_CHECK(StripBoth(path, "\t \"'") == path);
    if (!alert) {
        // The path ends where "/N" begins; without "/N" there is none.
        const size_t n = Sys::FindWord(trimmed, "/N", 1);
        if (n == npos)
            FUZZ_CHECK(path.empty());
        else
            FUZZ_CHECK(trimmed.substr(0, n).find(path) != std::string::npos);
    }
}

void CheckAddresses(Sys::FakePlatform& fake, FuzzedDataProvider& in, const std::string& line) {
    fake.commandLine = line;
    const std::string edition = in.ConsumeRandomLengthString(300);
    fake.registry["SOFTWARE\\ZVN\\2007\\Edition"] = edition;
    const bool install = Sys::HasWord(line, "/install");
    const bool purchase = line.find("http") != npos;

    // Update file addresses.
    static const char* kCodes[] = {"US", "HLP", "INST", "NY", "ALERT", "ca", "Tx"};
    const std::string product = in.ConsumeBool() ? kCodes[in.ConsumeIntegralInRange<size_t>(0, 6)]
                                                 : in.ConsumeRandomLengthString(20);
    const int32_t year = in.ConsumeIntegral<int32_t>();
    const int32_t installed = in.ConsumeIntegral<int32_t>();
    const std::string fileName = in.ConsumeBool() ? "ver.txt" : in.ConsumeRandomLengthString(20);
    const std::string address = UpdateFileAddress(line, year, product, installed, fileName);
    FUZZ_CHECK(address.starts_with("http://"));
    FUZZ_CHECK(!Fuzz::HasUpper(address));
    std::string suffix = "/updates/" + std::to_string(year) + "/win/" + product + "/";
    if (install) suffix += (edition.size() <= 253 ? edition : std::string()) + "/";
    suffix += std::to_string(installed) + "/" + fileName;
    suffix = ToLower(suffix);
    FUZZ_CHECK(address.ends_with(suffix));
    const std::string host = address.substr(7, address.size() - 7 - suffix.size());
    // The server: after "/N ", no quotes, no blank at its end; one word in install mode.
    FUZZ_CHECK(host.find('"') == npos && !host.ends_with(' '));
    if (install) FUZZ_CHECK(host.find(' ') == npos);
    if (Sys::FindWord(line, "/N ") == npos) FUZZ_CHECK(host.empty());

    // The state address of a purchase.
    const std::string state = PurchaseAddress(line);
    if (purchase) {
        FUZZ_CHECK(state.starts_with("http"));
        FUZZ_CHECK(line.find(state) != npos);
        FUZZ_CHECK(Sys::FindWord(state, "/purchase") == npos);
    } else {
        FUZZ_CHECK(state.empty());
    }
    const std::string manifest = PurchaseManifestAddress(line);
    FUZZ_CHECK(manifest.ends_with("ver.txt"));
    FUZZ_CHECK(state.find('/') == npos || manifest.starts_with("http"));

    // The proxy lookup address.
    FUZZ_CHECK(ProxyLookupUrl().starts_with("http://"));

    // Installer names and the item of an update.
    DownloadList list;
    UpdateEntry entry;
    entry.product = list.Catalog().FindProduct(product);
    entry.year = year;
    entry.edition = in.ConsumeIntegralInRange<int32_t>(-1, 9);
    entry.offeredVersion = in.ConsumeIntegral<int32_t>();
    entry.installedVersion = installed;
    entry.size = in.ConsumeIntegral<int32_t>();
    const std::string code = entry.product ? entry.product->code : std::string();
    const std::string serverName = Transfer::ServerFileName(code, entry.edition);
    FUZZ_CHECK(serverName.ends_with("upd.exe") && serverName.size() <= 11);
    FUZZ_CHECK(Transfer::EditionLetter(entry.edition).size() ==
               (entry.edition >= 1 && entry.edition <= 7 ? 1u : 0u));

    Transfer::AddUpdateItem(list, entry, "prom", "camp");
    FUZZ_CHECK(list.Count() == (OffersUpdate(entry) ? 1 : 0));
    if (list.Count() == 0) return;
    const DownloadItem& item = list.Item(0);
    FUZZ_CHECK(item.expectedSize == entry.size && item.installedVersion == installed);
    if (purchase) {
        FUZZ_CHECK(item.url == state);
        const std::string name = App::PurchaseFileName(state);
        FUZZ_CHECK(name.find('/') == npos);
        FUZZ_CHECK(item.localPath == CommonDataPath("Downloads/" + name));
    } else {
        FUZZ_CHECK(item.url.starts_with("http://"));
        FUZZ_CHECK(item.url.ends_with(ToLower(serverName)));
        const std::string folder = (install ? fake.tempFolder : fake.currentFolder) + "/Update/";
        FUZZ_CHECK(item.localPath.starts_with(folder));
        FUZZ_CHECK(item.localPath.ends_with("upd.exe"));
        FUZZ_CHECK(item.localPath.find('/', folder.size()) == npos);
    }
    const std::string stateCode = App::PurchaseStateCode(state);
    FUZZ_CHECK(stateCode.size() <= 2 && !Fuzz::HasUpper(stateCode));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Sys::FakePlatform fake;
    Sys::Install(&fake);
    FuzzedDataProvider in(data, size);
    const std::string line = Fuzz::WithoutNul(in.ConsumeRandomLengthString(600));

    static const char* kWords[] = {"/N ", "/N",   "/alert", "/install", "/purchase",
                                   "/",   "http", "alert",  "hide",     "-reinstall"};
    for (const char* word : kWords) CheckWordSearch(line, word, 0);
    CheckWordSearch(line, "/N", in.ConsumeIntegralInRange<size_t>(0, line.size() + 1));
    CheckJoinAndSplit(line);
    CheckSettingsPath(line, line.find("alert") != npos, line.find("hide") != npos);
    CheckSettingsPath(line, in.ConsumeBool(), in.ConsumeBool());
    CheckAddresses(fake, in, "/opt/tessra/bin/tessra-swm " + line);
    return 0;
}
