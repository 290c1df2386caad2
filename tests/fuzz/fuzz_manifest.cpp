// Version manifests as the update server sends them (and as an attacker might).
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "data/KeyValueLine.h"
#include "data/Manifest.h"
#include "data/Text.h"

using namespace Data;

namespace {

// What the manifest says for a key, read the plain way: the last line with it.
struct Expected {
    std::string product, message;
    std::string year, version, size;
    bool sawMessage = false;
};

Expected ReadPlainly(const std::string& text) {
    Expected e;
    for (const std::string& piece : SplitLinePieces(text, kManifestPieceChars)) {
        std::optional<KeyValue> kv = ReadKeyValueLine(piece, LineForm::Manifest);
        if (!kv) continue;
        if (kv->key == "PRODUCT") e.product = kv->value;
        if (kv->key == "YEAR") e.year = kv->value;
        if (kv->key == "VERSION") e.version = kv->value;
        if (kv->key == "SIZE") e.size = kv->value;
        if (kv->key == "MESSAGE") {
            e.message = kv->value;
            e.sawMessage = true;
        }
    }
    return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static DownloadList list;
    std::string text(reinterpret_cast<const char*>(data), size);
    const std::string path = Fuzz::ScratchPath("ver.txt");
    Fuzz::WriteFile(path, text);

    std::unique_ptr<UpdateEntry> entry = ReadManifest(path, list);
    FUZZ_CHECK(entry != nullptr);
    const Expected e = ReadPlainly(text);
    FUZZ_CHECK(entry->message == e.message);
    // A piece is at most 1022 characters, so no value is longer.
    FUZZ_CHECK(entry->message.size() <= kManifestPieceChars);
    FUZZ_CHECK(entry->year == Atoi32(e.year));
    FUZZ_CHECK(entry->offeredVersion == Atoi32(e.version));
    FUZZ_CHECK(entry->size == Atoi32(e.size));
    FUZZ_CHECK(entry->installedVersion == -1);
    FUZZ_CHECK(entry->edition == 7);  // the list names no edition
    // The product is the catalogue's record for the code, in any case, or none.
    if (entry->product) {
        FUZZ_CHECK(ToUpper(e.product) == entry->product->code);
    } else {
        FUZZ_CHECK(list.Catalog().FindProduct(e.product) == nullptr);
    }
    // A patch is only ever fetched from beside the installer, by a bare name.
    FUZZ_CHECK(entry->deltas.size() <= kMaxDeltaOffers);
    for (const DeltaOffer& d : entry->deltas) {
        FUZZ_CHECK(d.baseSize > 0 && d.patchSize > 0 && d.baseSha256.size() == 64);
        FUZZ_CHECK(d.patchName.find_first_of("/:\\") == std::string::npos);
        FUZZ_CHECK(d.patchName.find_first_not_of('.') != std::string::npos);
    }
    if (entry->packed) FUZZ_CHECK(entry->packed->name.find('/') == std::string::npos);
    return 0;
}
