// libFuzzer target: the signature check of a text download. Any bytes must
// be split and verified without a crash, and never pass under a key whose
// secret half the input cannot know.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "data/PublisherKey.h"
#include "data/SignedText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // The public key of an all-sevens seed; its secret key is not in this program.
    static const std::optional<Data::PublicKey> key =
        Data::ParsePublicKey("6kpsY+KcUgq+9VB7Ey7F+ZVHdq6+vnuSQh7qaRRG0iw=\n");
    if (!key) std::abort();
    const Data::SignedParts parts = Data::SplitSignedText(text);
    if (parts.body.size() > text.size()) std::abort();
    if (parts.signature && parts.body.size() + parts.signature->size() > text.size()) std::abort();
    if (Data::VerifySignedText(text, *key) == Data::SignatureStatus::Valid) std::abort();
    // The same bytes as a key file, and the signed lines' claims.
    Data::ParsePublicKey(text);
    Data::ParsePublicKeys(text);
    Data::CheckSignedClaims(parts.body, "us", 2007, 0);
    return 0;
}
