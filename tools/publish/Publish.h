#pragma once
// What tessra-publish does, apart from reading its command line. Each
// operation returns an empty text on success, else the reason it failed.
// Inputs must be regular files: anything else (a FIFO above all, which would
// stall the tool) is refused at once.

#include <string>
#include <vector>

namespace Publish {

// Writes PREFIX.key (the base64 of a fresh 32-byte seed, mode 0600) and
// PREFIX.pub (the base64 of its public key). Never replaces either file.
std::string Keygen(const std::string& prefix);

struct ManifestFields {
    std::string product;
    std::string year;
    std::string version;
    std::string message;
    std::string keyPath;  // empty: unsigned
    std::string installer;
    std::string expiresDays;               // empty: the manifest does not expire
    std::vector<std::string> deltas = {};  // OLD:PATCH, each a DELTA line
    std::string packed = {};               // the PACKED line's file; empty: none
    std::string rollout = {};              // the ROLLOUT line's value; empty: none
};
// The manifest text with CR LF lines, signed when a key is given; with
// expiresDays an EXPIRES line that many days from now. A DELTA line per
// delta (OLD's size and SHA-256, PATCH's size and name) and a PACKED line;
// each file must rebuild the installer and have a bare name (letters,
// digits, '.', '-', '_'). A delta over half the installer's size or saving
// less than 256 KiB, or a packed file not smaller than the installer, is
// left out, with one line saying so in leftOut. A rollout must read as the
// program reads it.
std::string MakeManifest(const ManifestFields& fields, std::string& text,
                         std::vector<std::string>* leftOut = nullptr);

// The text with its signature line added, or replaced when it has one.
std::string SignText(const std::string& keyPath, const std::string& text, std::string& signedText);

// Adds or replaces the signature line of a file, atomically.
std::string SignFile(const std::string& keyPath, const std::string& path);

// Empty when FILE carries a valid signature under the public key file.
std::string VerifyFile(const std::string& publicKeyPath, const std::string& path);

// Writes the patch that rebuilds NEW from OLD, checked; summary: the sizes.
std::string MakeDelta(const std::string& oldPath, const std::string& newPath,
                      const std::string& patchPath, std::string& summary);

// Writes the installer as one zstd frame, checked; summary: the sizes.
std::string Pack(const std::string& installerPath, const std::string& packedPath,
                 std::string& summary);

}  // namespace Publish
