#include <gtest/gtest.h>

#include "TestSupport.h"
#include "data/Manifest.h"

using namespace Data;

namespace {

class ManifestTest : public ::testing::Test {
  protected:
    std::unique_ptr<UpdateEntry> Read(const std::string& text) {
        std::string path = dir / "ver.txt";
        DataTest::WriteFile(path, text);
        return ReadManifest(path, list);
    }
    DataTest::TempDir dir;
    DownloadList list;
};

}  // namespace

TEST_F(ManifestTest, KeysInAnyCaseAndTheProductFromTheListsCatalogue) {
    list.SetValue("edition", "standard");
    auto entry = Read("product=ny\r\nVersion=12\r\n  year = 2007 \r\nSize=1048576\r\n");
    ASSERT_TRUE(entry);
    ASSERT_NE(entry->product, nullptr);
    EXPECT_EQ(entry->product, list.Catalog().FindProduct("NY"));
    EXPECT_EQ(entry->product->name, "New York");
    EXPECT_EQ(entry->offeredVersion, 12);
    EXPECT_EQ(entry->year, 2007);
    EXPECT_EQ(entry->size, 1048576);
    EXPECT_EQ(entry->edition, 5);
    EXPECT_EQ(entry->installedVersion, -1);
    EXPECT_EQ(entry->message, "");
}

TEST_F(ManifestTest, LastLineOfAKeyWinsAndMessagesKeepTheirEqualsSigns) {
    auto entry = Read(
        "PRODUCT=US\nMESSAGE=first\nMESSAGE=Federal update: fixes e-file = faster\n"
        "VERSION=101\n#VERSION=999\n # not a comment=x\nVERSION=102\n");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->message, "Federal update: fixes e-file = faster");
    EXPECT_EQ(entry->offeredVersion, 102);
    EXPECT_EQ(entry->edition, 7);  // the list has no edition
}

TEST_F(ManifestTest, CommentedVersionChangesNothing) {
    auto entry = Read("product=us\n#VERSION=500\n");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->offeredVersion, 0);
}

TEST_F(ManifestTest, MissingNumbersAreZeroAndUnknownProductHasNone) {
    auto entry = Read("product=tx\nmessage=\r\n");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->product, nullptr);
    EXPECT_EQ(entry->year, 0);
    EXPECT_EQ(entry->offeredVersion, 0);
    EXPECT_EQ(entry->size, 0);
    EXPECT_EQ(entry->message, "");
    entry->installedVersion = 0;
    EXPECT_FALSE(OffersUpdate(*entry));
}

TEST_F(ManifestTest, LongLinesAreCutAt1022Characters) {
    std::string message(1100, 'm');
    auto entry = Read("PRODUCT=HLP\nMESSAGE=" + message + "\n");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->message, std::string(1022 - 8, 'm'));

    // The rest of a cut line is a line of its own.
    auto split = Read("MESSAGE=" + std::string(1014, 'x') + "VERSION=7\n");
    ASSERT_TRUE(split);
    EXPECT_EQ(split->offeredVersion, 7);
}

TEST_F(ManifestTest, HugeOrNegativeNumbersAreClamped) {
    auto entry = Read("VERSION=123456789012345\nSIZE=-99999999999\nYEAR=-5\n");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->offeredVersion, INT32_MAX);
    EXPECT_EQ(entry->size, INT32_MIN);
    EXPECT_EQ(entry->year, -5);
}

TEST_F(ManifestTest, FileThatCannotBeOpenedGivesNoEntry) {
    EXPECT_EQ(ReadManifest(dir / "missing.txt", list), nullptr);
}

TEST(UpdateRule, OfferedGreaterThanInstalledComparedAsSignedNumbers) {
    UpdateEntry entry;
    entry.installedVersion = 100;
    entry.offeredVersion = 100;
    EXPECT_FALSE(OffersUpdate(entry));
    entry.offeredVersion = 101;
    EXPECT_TRUE(OffersUpdate(entry));
    entry.offeredVersion = -5;
    EXPECT_FALSE(OffersUpdate(entry));
    entry.installedVersion = INT32_MIN;
    entry.offeredVersion = INT32_MAX;
    EXPECT_TRUE(OffersUpdate(entry));
}

TEST_F(ManifestTest, Sha256IsKeptAsWrittenAndTheSignatureLineIgnored) {
    auto entry = Read("Product=US\r\nSIZE=3\r\nsha256 = AbC1\r\nMESSAGE=m\r\nSIGNATURE=eHl6\r\n");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->sha256, "AbC1");
    EXPECT_EQ(entry->size, 3);
    EXPECT_EQ(entry->message, "m");
    EXPECT_EQ(Read("Product=US\r\n")->sha256, "");
}

TEST_F(ManifestTest, EveryUsableDeltaLineIsKeptAndMalformedOnesAreLeftOut) {
    const std::string hash(64, 'a'), upper(64, 'B');
    std::string text = "PRODUCT=US\r\nSIZE=900\r\nSHA256=" + hash + "\r\n";
    const std::vector<std::string> bad = {
        "1 " + hash + " 5",               // three fields
        "0 " + hash + " 5 us.patch",      // no base size
        "10 " + hash.substr(1) + " 5 p",  // 63 digits
        "10 " + hash + " 5 ../us.patch",  // a folder
        "10 " + hash + " 5 http://x/p",   // an address
        "10 " + hash + " 5 ..",           // all dots
        "10 " + std::string(64, 'g') + " 5 p",
        "-10 " + hash + " 5 p",
    };
    for (const std::string& line : bad) text += "DELTA=" + line + "\r\n";
    text += "delta = 10  " + upper + "\t5 us-1.2_3.patch\r\n";
    for (int i = 0; i < 20; ++i)
        text += "DELTA=" + std::to_string(100 + i) + " " + hash + " 7 p\r\n";
    text += "PACKED=400 us.zst\r\nPACKED=oops\r\n";
    auto entry = Read(text);
    ASSERT_TRUE(entry);
    ASSERT_EQ(entry->deltas.size(), kMaxDeltaOffers);
    EXPECT_EQ(entry->deltas[0].baseSize, 10);
    EXPECT_EQ(entry->deltas[0].baseSha256, std::string(64, 'b'));  // either case, kept lower
    EXPECT_EQ(entry->deltas[0].patchSize, 5);
    EXPECT_EQ(entry->deltas[0].patchName, "us-1.2_3.patch");
    EXPECT_EQ(entry->deltas[15].baseSize, 114);
    ASSERT_TRUE(entry->packed);
    EXPECT_EQ(entry->packed->size, 400);

    // What is fetched: the chosen patch, else the packed frame, else the
    // installer; nothing but the installer without a hash to check.
    EXPECT_EQ(BytesToFetch(*entry), 400);
    entry->deltaChoice = 1;
    EXPECT_EQ(BytesToFetch(*entry), 7);
    entry->sha256.clear();
    EXPECT_EQ(BytesToFetch(*entry), 900);
}
