// swmgr.cfg, the alert-suppression file: whatever it holds, reading gives at
// most one value of each, each within a line piece, and writing reads back.
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "data/AlertSuppression.h"
#include "data/KeyValueLine.h"
#include "data/Text.h"

using namespace Data;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    const std::string path = Fuzz::ScratchPath("swmgr.cfg");
    Fuzz::WriteFile(path, text);

    AlertSuppression read = ReadAlertSuppression(path);
    bool sawVersion = false, sawShow = false;
    for (const std::string& piece : SplitLinePieces(text, kTypedPieceChars)) {
        sawVersion = sawVersion || piece.find("currver=") != std::string::npos;
        sawShow = sawShow || piece.find("show=") != std::string::npos;
    }
    FUZZ_CHECK(read.currentVersion.has_value() == sawVersion);
    FUZZ_CHECK(read.show.has_value() == sawShow);
    for (const auto& value : {read.currentVersion, read.show}) {
        if (!value) continue;
        FUZZ_CHECK(value->size() < kTypedPieceChars);
        FUZZ_CHECK(value->find('\n') == std::string::npos);
        FUZZ_CHECK(!value->starts_with(' ') && !value->ends_with(' '));
        FUZZ_CHECK(text.find(*value) != std::string::npos);
    }

    // What the screen writes, it reads back the same.
    int32_t version = size >= 4 ? static_cast<int32_t>(data[0] | data[1] << 8 | data[2] << 16 |
                                                       static_cast<uint32_t>(data[3]) << 24)
                                : -1;
    const bool doNotShow = size % 2;
    FUZZ_CHECK(WriteAlertSuppression(path, version, doNotShow));
    AlertSuppression back = ReadAlertSuppression(path);
    FUZZ_CHECK(back.currentVersion == std::to_string(version));
    FUZZ_CHECK(back.show == std::string(doNotShow ? "false" : "true"));
    return 0;
}
