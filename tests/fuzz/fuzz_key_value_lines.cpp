// Line pieces, key=value lines and the settings (request) file.
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "data/DataFolders.h"
#include "data/KeyValueLine.h"
#include "data/SettingsFile.h"
#include "data/Text.h"
#include "platform/FakePlatform.h"

using namespace Data;

namespace {

// Characters of a piece as the bounded reader counts them: CR LF is one.
size_t PieceChars(std::string_view piece) {
    return piece.ends_with("\r\n") ? piece.size() - 1 : piece.size();
}

std::string CrLfAsLf(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    return out;
}

void CheckPieces(const std::string& text, size_t maxChars) {
    std::vector<std::string> raw = SplitRawLinePieces(text, maxChars);
    std::vector<std::string> cooked = SplitLinePieces(text, maxChars);
    FUZZ_CHECK(raw.size() == cooked.size());
    std::string rawJoined, cookedJoined;
    for (size_t i = 0; i < raw.size(); ++i) {
        const std::string& piece = raw[i];
        FUZZ_CHECK(!piece.empty());
        FUZZ_CHECK(PieceChars(piece) <= maxChars);
        // Only the last piece may end without a line feed and short of the limit.
        if (i + 1 < raw.size()) FUZZ_CHECK(piece.back() == '\n' || PieceChars(piece) == maxChars);
        // A line feed ends its piece.
        FUZZ_CHECK(piece.find('\n') == std::string::npos || piece.find('\n') == piece.size() - 1);
        FUZZ_CHECK(cooked[i] == CrLfAsLf(piece));
        rawJoined += piece;
        cookedJoined += cooked[i];
    }
    // No byte lost, none added.
    FUZZ_CHECK(rawJoined == text);
    FUZZ_CHECK(cookedJoined == CrLfAsLf(text));
}

// The file reader cuts a file read in blocks exactly as the text is cut.
void CheckFilePieces(const std::string& text, size_t maxChars) {
    const std::string path = Fuzz::ScratchPath("pieces.txt");
    Fuzz::WriteFile(path, text);
    std::optional<LinePieces> pieces = LinePieces::Open(path, maxChars);
    FUZZ_CHECK(pieces.has_value());
    LinePieces fromText(text, maxChars);
    std::string a, b;
    for (;;) {
        bool gotFile = pieces->Next(a);
        bool gotText = fromText.Next(b);
        FUZZ_CHECK(gotFile == gotText);
        if (!gotFile) break;
        FUZZ_CHECK(a == b);
    }
}

void CheckKeyValue(std::string_view piece) {
    for (LineForm form : {LineForm::Settings, LineForm::Manifest}) {
        std::optional<KeyValue> kv = ReadKeyValueLine(piece, form);
        const size_t eq = piece.find('=');
        if (piece.starts_with('#') || eq == std::string_view::npos) {
            FUZZ_CHECK(!kv);
            continue;
        }
        FUZZ_CHECK(kv.has_value());
        // Only the first "=" splits: the key holds none, the value keeps the rest.
        FUZZ_CHECK(kv->key.find('=') == std::string::npos);
        FUZZ_CHECK(piece.substr(eq + 1).find(kv->value) != std::string_view::npos);
        FUZZ_CHECK(kv->key.size() <= eq && kv->value.size() < piece.size());
        if (form == LineForm::Manifest) {
            FUZZ_CHECK(ToUpper(piece.substr(0, eq)).find(kv->key) != std::string::npos);
            FUZZ_CHECK(ToUpper(kv->key) == kv->key);
        } else {
            FUZZ_CHECK(piece.substr(0, eq).find(kv->key) != std::string_view::npos);
        }
    }
}

constexpr const char* kServer = "updates.example.com";

void CheckSettingsFile(const std::string& text, uint8_t form) {
    static Sys::FakePlatform fake;
    Sys::Install(&fake);
    fake.appData = Fuzz::ScratchFolder() + "/user";
    fake.commonAppData = Fuzz::ScratchFolder() + "/common";
    const bool alertFile = form & 1;
    const std::string path = Fuzz::ScratchPath(alertFile ? "alert.cfg" : "request.cfg");
    const std::string program = "/opt/tessra/bin/tessra-swm ";
    enum { Update, Install, Alert, Purchase };
    const int mode = (form >> 1) % 4;
    switch (mode) {
        case Update:
            fake.commandLine = program + path + " /N " + kServer;
            break;
        case Install:
            fake.commandLine = program + path + " /install /N x " + kServer;
            break;
        case Alert:
            fake.commandLine = program + "/alert " + path + " /N " + kServer;
            break;
        case Purchase:
            fake.commandLine = program + "http://" + kServer + "/states/TessraCA.exe /purchase";
            break;
    }
    Fuzz::WriteFile(path, text);
    std::unique_ptr<DownloadList> list = LoadSettingsFile(path);
    FUZZ_CHECK(list != nullptr);

    size_t keyLines = 0;
    for (const std::string& piece : SplitLinePieces(text, kSettingsPieceChars))
        if (ReadKeyValueLine(piece, LineForm::Settings)) ++keyLines;
    // Every item takes eight record lines of its own (the alert marker is the ninth).
    FUZZ_CHECK(static_cast<size_t>(list->Count()) * 8 <= keyLines);
    FUZZ_CHECK(list->Values().size() <= DownloadList::kMaxValues);
    for (const auto& [key, value] : list->Values()) {
        FUZZ_CHECK(!Fuzz::HasUpper(ToLower(key)) && ToUpper(key) == key);
        FUZZ_CHECK(key.size() < kSettingsPieceChars && value.size() < kSettingsPieceChars);
    }
    const int32_t edition = GetEditionCode(*list);
    FUZZ_CHECK(edition >= 1 && edition <= 7);

    for (int i = 0; i < list->Count(); ++i) {
        const DownloadItem& item = list->Item(i);
        FUZZ_CHECK(item.year >= 0 && item.installedVersion >= 0 && item.expectedSize >= 0);
        FUZZ_CHECK(!item.productCode.empty() && !item.localPath.empty());
        FUZZ_CHECK(!item.prom.empty() && !item.camp.empty());
        const std::string year = std::to_string(item.year);
        if (mode == Purchase) {
            FUZZ_CHECK(item.url == std::string("http://") + kServer + "/states/ver.txt");
            FUZZ_CHECK(item.localPath == CommonDataPath("Downloads/ver.txt"));
        } else if (mode == Alert && alertFile) {
            FUZZ_CHECK(item.url == std::string("http://") + kServer + "/alert/" + year + "/win/" +
                                       item.productCode + "/alert.txt");
            FUZZ_CHECK(item.localPath == UserDataPath("alert.txt"));
        } else {
            std::string prefix = std::string("http://") + kServer + "/updates/" + year + "/win/" +
                                 ToLower(item.productCode) + "/";
            if (mode == Install) prefix += "/";  // no edition in the registry: an empty segment
            prefix += std::to_string(item.installedVersion) + "/";
            FUZZ_CHECK(item.url.starts_with(prefix));
            FUZZ_CHECK(!Fuzz::HasUpper(item.url));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t form = data[0];
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

    for (size_t maxChars : {kSettingsPieceChars, kManifestPieceChars, kTypedPieceChars, size_t{3}})
        CheckPieces(text, maxChars);
    for (const std::string& piece : SplitLinePieces(text, kSettingsPieceChars))
        CheckKeyValue(piece);
    for (const std::string& piece : SplitLinePieces(text, kManifestPieceChars))
        CheckKeyValue(piece);

    // Now and then across the file reader's block boundary.
    if ((form & 0xe0) == 0xe0) {
        std::string padded(64 * 1024 - (size % 2048), (form & 0x10) ? 'x' : '\n');
        CheckFilePieces(padded + text, form & 8 ? kSettingsPieceChars : size_t{3});
    } else {
        CheckFilePieces(text, kSettingsPieceChars);
    }
    CheckSettingsFile(text, form);
    return 0;
}
