// Known answers for the crypto the program relies on: SHA-256 fed in pieces,
// base64 of exactly the accepted form, and Ed25519 verification.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "data/PublisherKey.h"
#include "data/Sha256.h"
#include "data/SignedText.h"
#include "tests/support/TestSigning.h"

using namespace Data;

namespace {

std::string Unhex(std::string_view hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
    return out;
}

std::string HashInPieces(std::string_view text, size_t piece) {
    Sha256 hash;
    for (size_t at = 0; at < text.size(); at += piece)
        hash.Update(text.data() + at, std::min(piece, text.size() - at));
    return hash.HexDigest();
}

TEST(CryptoTest, Sha256KnownAnswersWhateverThePieces) {
    struct Case {
        std::string text;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
         "lmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases)
        for (size_t piece : {size_t{1}, size_t{63}, size_t{64}, size_t{65}, kHashBlockBytes + 1,
                             c.text.size() + 1})
            EXPECT_EQ(HashInPieces(c.text, piece), c.digest) << c.text.size() << "/" << piece;
}

TEST(CryptoTest, Sha256StartsAfreshAfterEachDigestAndMoves) {
    Sha256 hash;
    hash.Update("x", 1);
    EXPECT_NE(hash.HexDigest(), HashInPieces("abc", 3));
    hash.Update("abc", 3);
    Sha256 moved = std::move(hash);
    EXPECT_EQ(moved.HexDigest(),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hash.HexDigest(), "");  // moved from: no digest rather than a wrong one
}

TEST(CryptoTest, Base64OnlyInItsOneStandardForm) {
    // RFC 4648's examples both ways.
    for (const auto& [bytes, text] :
         std::vector<std::pair<std::string, std::string>>{{"f", "Zg=="},
                                                          {"fo", "Zm8="},
                                                          {"foo", "Zm9v"},
                                                          {"foob", "Zm9vYg=="},
                                                          {"fooba", "Zm9vYmE="},
                                                          {"foobar", "Zm9vYmFy"}}) {
        EXPECT_EQ(EncodeBase64(bytes), text);
        EXPECT_EQ(DecodeBase64(text, bytes.size()), bytes) << text;
    }
    const std::string key(32, '\0');
    const std::string good = EncodeBase64(key);
    ASSERT_EQ(good, std::string(43, 'A') + "=");
    auto with = [&good](size_t at, char c) { return std::string(good).replace(at, 1, 1, c); };
    // Each of the same length as the good one, so none is refused for its length alone.
    struct Case {
        const char* name;
        std::string text;
    } refused[] = {
        {"padding missing", good.substr(0, 43) + "A"},
        {"padding doubled", with(42, '=')},
        {"unused bits set", with(42, 'B')},
        {"url-safe alphabet", with(7, '-')},
        {"blank inside", with(20, ' ')},
        {"blank before", " " + good.substr(1)},
        {"blank after", good.substr(0, 43) + " "},
        {"line end after", good.substr(0, 43) + "\n"},
        {"padding inside", with(20, '=')},
        {"zero byte inside", with(20, '\0')},
    };
    EXPECT_EQ(DecodeBase64(good, 32), key);
    for (const Case& c : refused) EXPECT_FALSE(DecodeBase64(c.text, 32)) << c.name;
    EXPECT_FALSE(DecodeBase64("", 32));
    EXPECT_FALSE(DecodeBase64(good + "====", 32));
    EXPECT_FALSE(DecodeBase64(good, 31));
    EXPECT_FALSE(DecodeBase64(good, 33));
    EXPECT_FALSE(DecodeBase64(EncodeBase64(std::string(33, 'k')), 32));
}

// RFC 8032, section 7.1: tests 1 to 3.
struct Vector {
    const char* seed;
    const char* publicKey;
    const char* message;
    const char* signature;
};
const Vector kVectors[] = {
    {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b"
     "46bd25bf5f0595bbe24655141438e7a100b"},
    {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11"
     "d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc"
     "6594a7c15e9716ed28dc027beceea1ec40a"},
};

PublicKey KeyOfHex(const char* hex) {
    const std::string bytes = Unhex(hex);
    PublicKey key{};
    std::copy(bytes.begin(), bytes.end(), key.begin());
    return key;
}

std::string Flipped(std::string text, size_t at) {
    text[at] = static_cast<char>(text[at] ^ 0x01);
    return text;
}

TEST(CryptoTest, Ed25519VectorsVerifyAndAnyChangeFails) {
    for (const Vector& v : kVectors) {
        const PublicKey key = KeyOfHex(v.publicKey);
        const std::string message = Unhex(v.message), signature = Unhex(v.signature);
        EXPECT_TRUE(SignatureMatches(message, signature, key)) << v.publicKey;
        PublicKey otherKey = key;
        otherKey[5] ^= 0x01;
        EXPECT_FALSE(SignatureMatches(message, signature, otherKey)) << v.publicKey;
        EXPECT_FALSE(SignatureMatches(message + "x", signature, key)) << v.publicKey;
        if (!message.empty()) {
            EXPECT_FALSE(SignatureMatches(Flipped(message, 0), signature, key)) << v.publicKey;
        }
        for (size_t at : {size_t{0}, size_t{31}, size_t{32}, size_t{63}})
            EXPECT_FALSE(SignatureMatches(message, Flipped(signature, at), key)) << at;
        EXPECT_FALSE(SignatureMatches(message, signature.substr(0, 63), key));
        EXPECT_FALSE(SignatureMatches(message, signature + '\0', key));
    }
}

TEST(CryptoTest, KeysFromSeedsSignAsTheVectorsSay) {
    for (const Vector& v : kVectors) {
        std::array<unsigned char, 32> seed{};
        const std::string bytes = Unhex(v.seed);
        std::copy(bytes.begin(), bytes.end(), seed.begin());
        const TestSupport::TestKey key(seed);
        EXPECT_EQ(key.PublicLine(), EncodeBase64(Unhex(v.publicKey)));
        EXPECT_EQ(key.RawSignatureOf(Unhex(v.message)), Unhex(v.signature));
    }
}

}  // namespace
