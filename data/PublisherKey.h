#pragma once
// The update publisher's Ed25519 public keys. With a key in place every text
// download must carry a valid signature and every installer manifest a
// SHA-256; without one the program accepts unsigned answers as it always did.
// A key file may hold several keys, so a new key can be shipped before the
// publisher signs with it.

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Data {

inline constexpr const char* kUpdateKeyVariable = "TESSRA_SWM_UPDATE_KEY";
inline constexpr const char* kDefaultUpdateKeyPath = "/etc/tessra-swm/update-key.pub";
inline constexpr size_t kPublicKeyBytes = 32;
inline constexpr size_t kSignatureBytes = 64;

using PublicKey = std::array<unsigned char, kPublicKeyBytes>;

struct PublisherKey {
    enum class State {
        None,    // no file at the path: signatures are not required
        Usable,  // the keys below, at least one
        Broken,  // a file that cannot be read or parsed: everything is refused
    };
    State state = State::None;
    std::vector<PublicKey> keys;
    std::string path;  // where it was looked for

    // Any file at the path, usable or not, makes signatures and hashes required.
    bool Required() const { return state != State::None; }
};

// $TESSRA_SWM_UPDATE_KEY when set and not empty, else the system-wide path.
std::string PublisherKeyPath();

// Read afresh on every call: the checks are rare and the variable may change.
PublisherKey LoadPublisherKey();
PublisherKey LoadPublisherKey(const std::string& path);

// One line: the standard base64 of the 32 key bytes, an optional line end.
std::optional<PublicKey> ParsePublicKey(std::string_view text);

// A key file: one key per line, blanks around it allowed; blank lines and
// lines starting with "#" are skipped. Nothing when any other line is not a
// key or no line is: a damaged file must not pass for a smaller key set.
std::optional<std::vector<PublicKey>> ParsePublicKeys(std::string_view text);

// Standard base64 (with padding) that decodes to exactly `size` bytes.
std::optional<std::string> DecodeBase64(std::string_view text, size_t size);
std::string EncodeBase64(std::string_view bytes);

// The crypto library ready, with SHA-256 and Ed25519; checked once. False
// when it is not (then nothing verifies).
bool CryptoReady();

}  // namespace Data
