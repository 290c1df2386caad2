#include "data/Manifest.h"

#include "data/KeyValueLine.h"
#include "data/SettingsFile.h"
#include "data/Text.h"

namespace Data {

std::unique_ptr<UpdateEntry> ReadManifest(const std::string& path, const DownloadList& list) {
    const int32_t edition = GetEditionCode(list);
    std::optional<LinePieces> pieces = LinePieces::Open(path, kManifestPieceChars);
    if (!pieces) return nullptr;

    auto entry = std::make_unique<UpdateEntry>();
    entry->edition = edition;
    std::string product;
    for (const std::string& piece : *pieces) {
        std::optional<KeyValue> kv = ReadKeyValueLine(piece, LineForm::Manifest);
        if (!kv) continue;
        // A repeated key: the last line wins.
        if (kv->key == "PRODUCT")
            product = kv->value;
        else if (kv->key == "YEAR")
            entry->year = Atoi32(kv->value);
        else if (kv->key == "VERSION")
            entry->offeredVersion = Atoi32(kv->value);
        else if (kv->key == "SIZE")
            entry->size = Atoi32(kv->value);
        else if (kv->key == "MESSAGE")
            entry->message = kv->value;
        else if (kv->key == "SHA256")
            entry->sha256 = kv->value;
    }
    entry->product = list.Catalog().FindProduct(product);
    entry->installedVersion = -1;
    return entry;
}

}  // namespace Data
