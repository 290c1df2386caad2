#include "data/Manifest.h"

#include <vector>

#include "data/KeyValueLine.h"
#include "data/SettingsFile.h"
#include "data/Text.h"

namespace Data {

namespace {

// A whole positive decimal number that fits comfortably in 63 bits.
std::optional<int64_t> Count(std::string_view text) {
    if (text.empty() || text.size() > 15) return std::nullopt;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value > 0 ? std::optional<int64_t>(value) : std::nullopt;
}

bool BareName(std::string_view name) {
    if (name.empty() || name.size() > 255 || name.find_first_not_of('.') == std::string_view::npos)
        return false;
    for (char c : name) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        if (!allowed) return false;
    }
    return true;
}

// The blank-separated fields of a value.
std::vector<std::string_view> Fields(std::string_view value) {
    std::vector<std::string_view> fields;
    size_t i = 0;
    while (i < value.size()) {
        i = value.find_first_not_of(" \t", i);
        if (i == std::string_view::npos) break;
        size_t end = value.find_first_of(" \t", i);
        if (end == std::string_view::npos) end = value.size();
        fields.push_back(value.substr(i, end - i));
        i = end;
    }
    return fields;
}

}  // namespace

std::optional<DeltaOffer> ParseDeltaOffer(std::string_view value) {
    const std::vector<std::string_view> fields = Fields(value);
    if (fields.size() != 4 || fields[1].size() != 64) return std::nullopt;
    const std::optional<int64_t> base = Count(fields[0]), patch = Count(fields[2]);
    const std::string hash = ToLower(fields[1]);
    if (!base || !patch || hash.find_first_not_of("0123456789abcdef") != std::string::npos ||
        !BareName(fields[3]))
        return std::nullopt;
    return DeltaOffer{*base, hash, *patch, std::string(fields[3])};
}

std::optional<PackedOffer> ParsePackedOffer(std::string_view value) {
    const std::vector<std::string_view> fields = Fields(value);
    if (fields.size() != 2) return std::nullopt;
    const std::optional<int64_t> size = Count(fields[0]);
    if (!size || !BareName(fields[1])) return std::nullopt;
    return PackedOffer{*size, std::string(fields[1])};
}

int64_t BytesToFetch(const UpdateEntry& entry) {
    if (!entry.sha256.empty()) {
        if (entry.deltaChoice >= 0 && static_cast<size_t>(entry.deltaChoice) < entry.deltas.size())
            return entry.deltas[static_cast<size_t>(entry.deltaChoice)].patchSize;
        if (entry.packed) return entry.packed->size;
    }
    return entry.size;
}

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
        else if (kv->key == "DELTA" && entry->deltas.size() < kMaxDeltaOffers) {
            // Every line counts; a malformed one is left out.
            if (auto offer = ParseDeltaOffer(kv->value)) entry->deltas.push_back(*offer);
        } else if (kv->key == "PACKED") {
            if (auto offer = ParsePackedOffer(kv->value)) entry->packed = *offer;
        } else if (kv->key == kRolloutKey) {
            if (auto rollout = ParseRollout(kv->value)) entry->rollout = *rollout;
        }
    }
    entry->product = list.Catalog().FindProduct(product);
    entry->installedVersion = -1;
    return entry;
}

}  // namespace Data
