#pragma once
// The validator of a partial download: the server's ETag (else its
// Last-Modified) for the file whose first bytes are on disk, kept beside the
// download so that a later run resumes only if the server still has that
// file (If-Range), and starts afresh when it changed.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

typedef void CURL;

namespace Transfer {

// Where the validator of the download at `path` is kept: path + ".validator".
std::string ValidatorPath(const std::string& path);

// The kept validator: nothing when there is no validator file; an empty text
// when there is one that cannot be used (unreadable, a link, too long, not a
// header value): the partial download then proves nothing.
std::optional<std::string> ReadValidator(const std::string& path);

// Replaces the kept validator through a temporary file and a rename, so a
// run that stops midway leaves the old validator or the new, never a piece.
bool SaveValidator(const std::string& path, const std::string& validator);
void RemoveValidator(const std::string& path);

// What may go into an If-Range header: a strong ETag (a weak one never
// matches there), else the Last-Modified date; empty when the answer has neither.
std::string ChooseValidator(std::string_view etag, std::string_view lastModified);
// The same for the answer libcurl is receiving on `handle` (the last one after redirects).
std::string AnswerValidator(CURL* handle);

// The first byte of a "bytes FIRST-LAST/LENGTH" Content-Range; nothing for anything else.
std::optional<int64_t> RangeStart(std::string_view contentRange);
std::optional<int64_t> AnswerRangeStart(CURL* handle);

}  // namespace Transfer
