// MarkProgramUpdated on the tax program's ts07.cfg: it must never drop a line.
// Every line of the file stays, in its order and with its bytes, except that a
// mark line becomes the true mark; without one the mark is added at the end.
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "data/KeyValueLine.h"
#include "data/ProgramSettings.h"

using namespace Data;

namespace {

constexpr std::string_view kMark = "bool:ui_prop_tessra_updated=true";

bool IsMarkPiece(const std::string& piece) {
    std::optional<TypedLine> line = ParseTypedLine(piece, "bool");
    return line && line->name == "ui_prop_tessra_updated";
}

std::string LineEndOf(const std::string& piece) {
    if (piece.ends_with("\r\n")) return "\r\n";
    if (piece.ends_with("\n")) return "\n";
    return "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    const std::string path = Fuzz::ScratchPath("ts07.cfg");
    Fuzz::WriteFile(path, text);
    FUZZ_CHECK(MarkProgramUpdated(path));
    const std::string after = Fuzz::ReadFile(path);

    // Walk the original pieces through the new text.
    size_t at = 0;
    bool marked = false;
    std::vector<std::string> pieces = SplitRawLinePieces(text, kTypedPieceChars);
    for (size_t i = 0; i < pieces.size(); ++i) {
        const std::string& piece = pieces[i];
        if (IsMarkPiece(piece)) {
            FUZZ_CHECK(after.compare(at, kMark.size(), kMark) == 0);
            at += kMark.size();
            std::string end = LineEndOf(piece);
            // A mark piece cut short or at the end of the file still ends its line.
            if (end.empty()) end = after.compare(at, 2, "\r\n") == 0 ? "\r\n" : "\n";
            FUZZ_CHECK(after.compare(at, end.size(), end) == 0);
            at += end.size();
            marked = true;
        } else {
            FUZZ_CHECK(after.compare(at, piece.size(), piece) == 0);
            at += piece.size();
        }
    }
    if (!marked) {
        // Appended on a line of its own, with the file's own line end.
        if (at > 0 && after[at - 1] != '\n') {
            FUZZ_CHECK(after.compare(at, 1, "\n") == 0 || after.compare(at, 2, "\r\n") == 0);
            at += after[at] == '\r' ? 2 : 1;
        }
        FUZZ_CHECK(after.compare(at, kMark.size(), kMark) == 0);
        at += kMark.size();
        FUZZ_CHECK(after.compare(at, std::string::npos, "\n") == 0 ||
                   after.compare(at, std::string::npos, "\r\n") == 0);
        at = after.size();
    }
    FUZZ_CHECK(at == after.size());
    // Marking twice changes nothing more.
    FUZZ_CHECK(MarkProgramUpdated(path));
    FUZZ_CHECK(Fuzz::ReadFile(path) == after);
    return 0;
}
