#pragma once
// Patches and packed installers: one zstd frame each. A patch is the new
// installer compressed with an earlier installer (the base) as its prefix,
// exactly as `zstd --patch-from=OLD NEW -o PATCH` writes it, so the stock
// command can make and apply every patch; a packed installer is the whole
// installer as one frame without prefix. Both frames state their content size.
//
// Rebuilding needs no more memory than the base (mapped, never copied), the
// rebuilt file (the decoder's window, at most 128 MiB) and fixed buffers.

#include <cstdint>
#include <string>

namespace Transfer {

// The largest window a frame may need: 2^27 bytes (128 MiB).
constexpr int kPatchWindowLogMax = 27;

enum class PatchCause {
    Ok,
    Unreadable,      // the base or the patch could not be read (or mapped)
    NotAFrame,       // the patch does not start with a zstd frame header
    SizeUnknown,     // the frame does not state its content size
    WrongSize,       // the frame's content size is not the expected size
    WindowTooLarge,  // the frame needs a window above 2^kPatchWindowLogMax
    Corrupt,         // bad data, wrong base, checksum, truncated, trailing bytes
    WriteFailed,     // the output could not be written
};

// "ok", "unreadable", "not-a-frame", "size-unknown", "wrong-size", "window",
// "corrupt", "write-failed".
const char* PatchCauseName(PatchCause cause);

// Rebuilds a file: decodes the one frame read from patchFd (from its current
// offset to its end) with the whole base as prefix and writes the result to
// outFd in blocks. baseFd is -1 for a packed frame; else a regular file that
// must not shrink while this runs (it is mapped). The frame's header must
// state exactly expectedSize bytes, else nothing is decoded. Anything after
// the frame is refused. The caller checks the result's hash and renames it;
// after a failure outFd holds a partial result to throw away.
PatchCause ApplyPatch(int baseFd, int patchFd, int outFd, int64_t expectedSize);

// For the publisher. Each returns an empty text on success, else the reason.
// Inputs must be regular files; links are followed.

// Writes the patch that rebuilds newPath from oldPath (level 19, a window of
// up to 2^kPatchWindowLogMax and long-distance matching, set as the zstd
// command sets them for --patch-from; content size and checksum in the
// frame), checks that it rebuilds newPath and only then puts it at patchPath
// (replacing a file there, which must be neither input).
std::string MakePatch(const std::string& oldPath, const std::string& newPath,
                      const std::string& patchPath);

// Writes the installer as one frame without prefix (level 19), checked like a patch.
std::string MakePacked(const std::string& installerPath, const std::string& packedPath);

// Empty when the patch rebuilds newPath byte for byte from basePath (empty
// basePath: a packed frame).
std::string CheckPatch(const std::string& basePath, const std::string& patchPath,
                       const std::string& newPath);

}  // namespace Transfer
