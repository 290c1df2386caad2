// The publisher key file and the signature of text downloads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "TestSupport.h"
#include "data/PublisherKey.h"
#include "data/SignedText.h"
#include "tests/support/TestSigning.h"

using namespace Data;
using TestSupport::TestKey;

namespace {

const std::string kBody =
    "Product=US\r\nYEAR=2007\r\nVERSION=4\r\nSIZE=10\r\n"
    "SHA256=" +
    std::string(64, 'a') + "\r\nMESSAGE=Forms final\r\n";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

std::string AllCrLfToLf(std::string text) {
    for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
    return text;
}

PublicKey KeyOf(const TestKey& key) { return *ParsePublicKey(key.PublicLine()); }

TEST(SignedTextTest, VerdictOnEachForm) {
    const TestKey key;
    const std::string good = key.Sign(kBody);
    const std::string signature = key.SignatureOf(kBody);
    // A different character of the base64 alphabet at the same place.
    std::string changedSignature = signature;
    changedSignature[10] = changedSignature[10] == 'A' ? 'B' : 'A';
    unsigned char shortSignature[63] = {};
    struct Case {
        const char* name;
        std::string text;
        SignatureStatus expected;
    } cases[] = {
        {"signature line ends with CR LF", good, SignatureStatus::Valid},
        {"signature line ends with LF", key.Sign(kBody, "\n"), SignatureStatus::Valid},
        {"signature line without a line end", key.Sign(kBody, ""), SignatureStatus::Valid},
        {"LF body signed as stored", key.Sign(AllCrLfToLf(kBody)), SignatureStatus::Valid},
        {"one byte of the body changed", Replace(good, "VERSION=4", "VERSION=5"),
         SignatureStatus::Invalid},
        {"one character of the signature changed", Replace(good, signature, changedSignature),
         SignatureStatus::Invalid},
        {"CR LF of the body read as LF", AllCrLfToLf(key.Sign(kBody, "")),
         SignatureStatus::Invalid},
        {"signed by another key", TestKey(9).Sign(kBody), SignatureStatus::Invalid},
        {"not base64", kBody + "SIGNATURE=!!not*base64!!\r\n", SignatureStatus::Invalid},
        {"base64 of 63 bytes",
         kBody + "SIGNATURE=" +
             TestSupport::Base64(std::string_view(reinterpret_cast<char*>(shortSignature), 63)) +
             "\r\n",
         SignatureStatus::Invalid},
        {"blank after the value",
         Replace(good, "\r\n" + std::string("SIGNATURE="), "\r\nSIGNATURE= "),
         SignatureStatus::Invalid},
        {"no signature line", kBody, SignatureStatus::Missing},
        {"a line after the signature", good + "MESSAGE=later\r\n", SignatureStatus::Missing},
        {"an empty line after the signature", good + "\r\n", SignatureStatus::Missing},
        {"key in lower case", Replace(good, "SIGNATURE=", "signature="), SignatureStatus::Missing},
        {"empty text", "", SignatureStatus::Missing},
    };
    for (const Case& c : cases)
        EXPECT_EQ(VerifySignedText(c.text, KeyOf(key)), c.expected) << c.name;
}

TEST(SignedTextTest, ClaimsMustAnswerTheRequestAndNotHaveExpired) {
    const std::time_t now = *ParseUtcTime("2008-01-15T12:00:00Z");
    struct Case {
        std::string lines;
        ClaimStatus expected;
    } cases[] = {
        {"", ClaimStatus::Accepted},
        {"PRODUCT=CA\r\n", ClaimStatus::WrongProduct},  // the last one counts
        {"EXPIRES=2008-01-15T12:00:00Z\r\n", ClaimStatus::Accepted},
        {"expires=2008-01-15T11:59:59Z\r\n", ClaimStatus::Expired},
        {"EXPIRES=2008-01-15 12:00:00Z\r\n", ClaimStatus::BadExpiry},
        {"EXPIRES=2009-02-29T12:00:00Z\r\n", ClaimStatus::BadExpiry},
        {"EXPIRES=2009-01-15T24:00:00Z\r\n", ClaimStatus::BadExpiry},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CheckSignedClaims(kBody + c.lines, "us", 2007, now), c.expected) << c.lines;
    EXPECT_EQ(CheckSignedClaims("Product=US\r\n", "us", 2007, now), ClaimStatus::WrongYear);
}

TEST(SignedTextTest, SplitKeepsEveryByteBeforeTheSignatureLine) {
    const SignedParts parts = SplitSignedText("a\r\nb\nSIGNATURE=xyz\r\n");
    EXPECT_EQ(parts.body, "a\r\nb\n");
    ASSERT_TRUE(parts.signature);
    EXPECT_EQ(*parts.signature, "xyz");
    EXPECT_FALSE(SplitSignedText("a\nb\n").signature);
}

class PublisherKeyTest : public ::testing::Test {
  protected:
    PublisherKey::State Load(const std::string& path) { return LoadPublisherKey(path).state; }
    DataTest::TempDir dir;
    TestKey key;
};

TEST_F(PublisherKeyTest, KeyFileContents) {
    const std::string line = key.PublicLine();
    const std::string shortKey = TestSupport::Base64(std::string(31, 'k'));
    const std::string longKey = TestSupport::Base64(std::string(33, 'k'));
    struct Case {
        const char* name;
        std::string text;
        PublisherKey::State expected;
    } cases[] = {
        {"line with LF", line + "\n", PublisherKey::State::Usable},
        {"line with CR LF", line + "\r\n", PublisherKey::State::Usable},
        {"line without its end", line, PublisherKey::State::Usable},
        {"garbage", "not a key at all\n", PublisherKey::State::Broken},
        {"31 bytes", shortKey + "\n", PublisherKey::State::Broken},
        {"33 bytes", longKey + "\n", PublisherKey::State::Broken},
        {"empty file", "", PublisherKey::State::Broken},
        {"a blank line after it", line + "\n\n", PublisherKey::State::Usable},
        {"blanks around it", " " + line + "\t\n", PublisherKey::State::Usable},
        {"only a comment", "# " + line + "\n", PublisherKey::State::Broken},
        {"a key and a damaged one", line + "\n" + shortKey + "\n", PublisherKey::State::Broken},
        {"a long file", std::string(20000, 'A'), PublisherKey::State::Broken},
    };
    for (const Case& c : cases) {
        DataTest::WriteFile(dir / "key.pub", c.text);
        EXPECT_EQ(Load(dir / "key.pub"), c.expected) << c.name;
    }
    DataTest::WriteFile(dir / "key.pub", line + "\n\n# next\r\n" + TestKey(9).PublicLine());
    EXPECT_EQ(LoadPublisherKey(dir / "key.pub").keys,
              (std::vector<PublicKey>{KeyOf(key), KeyOf(TestKey(9))}));
}

TEST_F(PublisherKeyTest, NothingThereMeansNoKeyAnythingElseFailsClosed) {
    EXPECT_EQ(Load(dir / "none.pub"), PublisherKey::State::None);
    EXPECT_FALSE(LoadPublisherKey(dir / "none.pub").Required());
    std::filesystem::create_directory(dir / "folder.pub");
    EXPECT_EQ(Load(dir / "folder.pub"), PublisherKey::State::Broken);
    ASSERT_EQ(::symlink((dir / "gone").c_str(), (dir / "dangling.pub").c_str()), 0);
    EXPECT_EQ(Load(dir / "dangling.pub"), PublisherKey::State::Broken);
    EXPECT_TRUE(LoadPublisherKey(dir / "dangling.pub").Required());
}

TEST_F(PublisherKeyTest, PathFromTheVariableElseTheSystemFile) {
    {
        TestSupport::KeyVariable variable(dir / "mine.pub");
        EXPECT_EQ(PublisherKeyPath(), dir / "mine.pub");
    }
    TestSupport::KeyVariable empty("");
    EXPECT_EQ(PublisherKeyPath(), "/etc/tessra-swm/update-key.pub");
}

TEST_F(PublisherKeyTest, TextDownloadsUnderEachKeyState) {
    DataTest::WriteFile(dir / "signed.txt", key.Sign(kBody));
    DataTest::WriteFile(dir / "unsigned.txt", kBody);
    DataTest::WriteFile(dir / "usable.pub", key.PublicLine() + "\n");
    DataTest::WriteFile(dir / "broken.pub", "garbage\n");
    ASSERT_EQ(::symlink((dir / "signed.txt").c_str(), (dir / "link.txt").c_str()), 0);
    struct Case {
        std::string keyFile, text;
        bool accepted;
    } cases[] = {
        {"none.pub", "unsigned.txt", true},  {"none.pub", "signed.txt", true},
        {"usable.pub", "signed.txt", true},  {"usable.pub", "unsigned.txt", false},
        {"usable.pub", "link.txt", false},   {"usable.pub", "missing.txt", false},
        {"broken.pub", "signed.txt", false}, {"broken.pub", "unsigned.txt", false},
    };
    DownloadItem item;
    item.productCode = "us";
    item.year = 2007;
    for (const Case& c : cases) {
        TestSupport::KeyVariable variable(dir / c.keyFile);
        EXPECT_EQ(TextSignatureAccepted(dir / c.text, item), c.accepted)
            << c.keyFile << " " << c.text;
    }
    // Larger than any text download may be: refused unread.
    DataTest::WriteFile(dir / "large.txt", key.Sign(kBody + std::string(kMaxSignedTextBytes, '#')));
    TestSupport::KeyVariable variable(dir / "usable.pub");
    EXPECT_FALSE(TextSignatureAccepted(dir / "large.txt", item));
}

}  // namespace
