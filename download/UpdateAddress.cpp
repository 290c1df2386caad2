#include "download/UpdateAddress.h"

#include "data/DataFolders.h"
#include "data/SettingsFile.h"
#include "data/Text.h"
#include "download/DeltaPlan.h"
#include "platform/CommandLine.h"
#include "platform/Platform.h"

namespace Transfer {
using namespace Data;

namespace {

std::string LastSegment(const std::string& address) {
    size_t slash = address.rfind('/');
    return slash == std::string::npos ? address : address.substr(slash + 1);
}

std::string ProductCode(const UpdateEntry& entry) {
    return entry.product ? entry.product->code : std::string();
}

}  // namespace

std::string EditionLetter(int32_t edition) {
    switch (edition) {
        case 1:
            return "c";
        case 2:
            return "l";
        case 3:
            return "f";
        case 4:
            return "p";
        case 5:
            return "s";
        case 6:
        case 7:
            return "b";
        default:
            return {};
    }
}

std::string ServerFileName(const std::string& productCode, int32_t edition) {
    std::string name = "upd.exe";
    if (productCode == "INST") name = "inst" + name;
    if (productCode == "HLP") name = "hlp" + name;
    if (productCode == "US" || productCode == "HLP") name = EditionLetter(edition) + name;
    return name;
}

std::string NormalLocalInstallerPath(const UpdateEntry& entry) {
    return Sys::Current().CurrentFolder() + "/Update/" + ProductCode(entry) +
           std::to_string(entry.installedVersion) + std::to_string(entry.offeredVersion) +
           EditionLetter(entry.edition) + "upd.exe";
}

// One rule for the state address, shared with the purchase manifest address.
std::string StateAddress(const std::string& commandLine) { return PurchaseAddress(commandLine); }

void AddUpdateItem(DownloadList& list, const UpdateEntry& entry, const std::string& prom,
                   const std::string& camp) {
    if (!OffersUpdate(entry)) return;

    const std::string commandLine = Sys::Current().CommandLine();
    const bool installMode = Sys::HasWord(commandLine, "/install");
    const std::string code = ProductCode(entry);

    std::string address = UpdateFileAddress(commandLine, entry.year, code, entry.installedVersion,
                                            ServerFileName(code, entry.edition));

    std::string localPath = installMode
                                ? Sys::Current().TempFolder() + "/Update/" + code + "upd.exe"
                                : NormalLocalInstallerPath(entry);

    if (Sys::HasWord(commandLine, "http")) {
        address = StateAddress(commandLine);
        localPath = CommonDataPath("Downloads/" + LastSegment(address));
    }

    DownloadItem item;
    item.url = address;
    item.localPath = localPath;
    item.productCode = code;
    item.prom = prom;
    item.camp = camp;
    item.expectedSize = entry.size;
    item.installedVersion = entry.installedVersion;
    item.year = entry.year;
    // What the update check chose to fetch instead, when the result can be checked.
    if (!entry.sha256.empty()) {
        if (entry.deltaChoice >= 0 &&
            static_cast<size_t>(entry.deltaChoice) < entry.deltas.size()) {
            const DeltaOffer& delta = entry.deltas[static_cast<size_t>(entry.deltaChoice)];
            item.patchUrl = SiblingAddress(address, delta.patchName);
            item.basePath = entry.deltaBase;
            item.patchSize = delta.patchSize;
        } else if (entry.packed) {
            item.patchUrl = SiblingAddress(address, entry.packed->name);
            item.patchSize = entry.packed->size;
        }
        item.sha256 = entry.sha256;
    }
    list.AppendItem(std::move(item));
    list.SetValue("prom", prom);
    list.SetValue("camp", camp);
}

}  // namespace Transfer
