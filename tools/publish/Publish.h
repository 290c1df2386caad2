#pragma once
// What tessra-publish does, apart from reading its command line. Each
// operation returns an empty text on success, else the reason it failed.
// Inputs must be regular files: anything else (a FIFO above all, which would
// stall the tool) is refused at once.

#include <string>

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
    std::string expiresDays;  // empty: the manifest does not expire
};
// The manifest text with CR LF lines, signed when a key is given; with
// expiresDays an EXPIRES line that many days from now.
std::string MakeManifest(const ManifestFields& fields, std::string& text);

// The text with its signature line added, or replaced when it has one.
std::string SignText(const std::string& keyPath, const std::string& text, std::string& signedText);

// Adds or replaces the signature line of a file, atomically.
std::string SignFile(const std::string& keyPath, const std::string& path);

// Empty when FILE carries a valid signature under the public key file.
std::string VerifyFile(const std::string& publicKeyPath, const std::string& path);

}  // namespace Publish
