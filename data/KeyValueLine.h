#pragma once
// Line pieces and key=value lines of the settings files and manifests.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Data {

inline constexpr size_t kSettingsPieceChars = 254;   // settings files
inline constexpr size_t kManifestPieceChars = 1022;  // manifests
inline constexpr size_t kTypedPieceChars = 510;      // ts07.cfg, swmgr.cfg, uninstall files

enum class LineForm { Settings, Manifest };

struct KeyValue {
    std::string key;
    std::string value;
};

// One line piece -> key and value, or nothing (comment, no "=").
std::optional<KeyValue> ReadKeyValueLine(std::string_view piece, LineForm form);

// Line pieces the way a bounded line reader cuts them: each piece ends after a
// line feed or after maxChars characters. In text mode CR LF is read as LF;
// raw pieces keep their bytes as stored (CR LF still counts as one character).
// Only the current piece is held: a file is read in small blocks, so reading a
// file of any size costs about one piece of memory.
class LinePieces {
  public:
    enum class Form { Text, Raw };

    // Over text the caller keeps alive.
    LinePieces(std::string_view text, size_t maxChars, Form form = Form::Text);
    // Over a regular file; nothing when it cannot be opened or read, or is not
    // a regular file (a folder, a pipe, a device).
    static std::optional<LinePieces> Open(const std::string& path, size_t maxChars,
                                          Form form = Form::Text);
    // Over a descriptor already open for reading, from its current offset; the
    // pieces own it from now on (also when nothing comes back).
    static std::optional<LinePieces> Adopt(int fd, size_t maxChars, Form form = Form::Text);

    LinePieces(LinePieces&&) noexcept;
    LinePieces& operator=(LinePieces&&) noexcept;
    ~LinePieces();

    // The next piece; false after the last one.
    bool Next(std::string& piece);

    // One pass: `for (const std::string& piece : pieces)`.
    class Iterator {
      public:
        explicit Iterator(LinePieces* owner) : owner_(owner) { Advance(); }
        const std::string& operator*() const { return piece_; }
        Iterator& operator++() {
            Advance();
            return *this;
        }
        bool operator!=(const Iterator& other) const { return owner_ != other.owner_; }

      private:
        void Advance() {
            if (owner_ && !owner_->Next(piece_)) owner_ = nullptr;
        }
        LinePieces* owner_;
        std::string piece_;
    };
    Iterator begin() { return Iterator(this); }
    Iterator end() { return Iterator(nullptr); }

  private:
    LinePieces() = default;
    bool Refill();

    int fd_ = -1;
    std::string buffer_;     // file mode: the block being cut
    std::string_view text_;  // what is left to cut (into buffer_ or the caller's text)
    size_t maxChars_ = 0;
    Form form_ = Form::Text;
    bool fromFile_ = false;
    bool eof_ = true;
};

// All pieces of a text at once (small texts).
std::vector<std::string> SplitLinePieces(std::string_view text, size_t maxChars);

// A regular file's bytes as stored; nothing when it cannot be opened or read.
std::optional<std::string> ReadWholeFile(const std::string& path);

// Every piece of a file at once; nothing when it cannot be opened. Holds a
// string per piece (tens of bytes per line feed): readers of files from
// outside use LinePieces::Open instead.
std::optional<std::vector<std::string>> ReadLinePieces(const std::string& path, size_t maxChars);

// The same cut, but each piece keeps its bytes as stored (CR LF stays), so a
// rewrite can put unchanged lines back exactly. CR LF still counts as one character.
std::vector<std::string> SplitRawLinePieces(std::string_view text, size_t maxChars);

// Typed line "type:name=value" of ts07.cfg, read like the pattern
// "type:%[^:=]=%[^:=\r\n]": nothing unless the type and a name match; the value
// is empty when nothing matches after the "=".
struct TypedLine {
    std::string name;
    std::string value;
};
std::optional<TypedLine> ParseTypedLine(std::string_view piece, std::string_view type);

}  // namespace Data
