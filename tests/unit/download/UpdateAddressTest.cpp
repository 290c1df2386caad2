// Installer addresses, server file names and local paths of update entries.

#include <gtest/gtest.h>

#include "download/UpdateAddress.h"
#include "platform/FakePlatform.h"

namespace {

class UpdateAddressTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform.currentFolder = "/home/u/work";
        platform.tempFolder = "/var/tmp/u";
        platform.commonAppData = "/srv/common";
        platform.commandLine = "/opt/tessra/tessra-swm /home/u/req.cfg /N Updates.Example.COM";
        Sys::Install(&platform);
    }
    void TearDown() override { Sys::Install(nullptr); }

    Data::UpdateEntry Entry(const char* code, int32_t edition, int32_t installed, int32_t offered,
                            int32_t size = 1000) {
        Data::UpdateEntry entry;
        entry.product = list.Catalog().FindProduct(code);
        entry.year = 2007;
        entry.edition = edition;
        entry.installedVersion = installed;
        entry.offeredVersion = offered;
        entry.size = size;
        return entry;
    }

    // Adds one entry and returns its item (fails the test when none was added).
    Data::DownloadItem Add(const Data::UpdateEntry& entry, const std::string& prom = "P",
                           const std::string& camp = "C") {
        int before = list.Count();
        Transfer::AddUpdateItem(list, entry, prom, camp);
        EXPECT_EQ(list.Count(), before + 1);
        return list.Count() > before ? list.Item(list.Count() - 1) : Data::DownloadItem{};
    }

    Sys::FakePlatform platform;
    Data::DownloadList list;
};

TEST(EditionLetterTest, LettersOfTheSixEditionsAndTheUnknownOne) {
    const char* expected[] = {"", "c", "l", "f", "p", "s", "b", "b", ""};
    for (int32_t edition = 0; edition <= 8; ++edition)
        EXPECT_EQ(Transfer::EditionLetter(edition), expected[edition]) << edition;
    EXPECT_EQ(Transfer::EditionLetter(-1), "");
}

TEST(ServerFileNameTest, PrefixesByProductCode) {
    EXPECT_EQ(Transfer::ServerFileName("US", 1), "cupd.exe");
    EXPECT_EQ(Transfer::ServerFileName("HLP", 4), "phlpupd.exe");
    EXPECT_EQ(Transfer::ServerFileName("INST", 1), "instupd.exe");  // no edition letter
    EXPECT_EQ(Transfer::ServerFileName("CA", 1), "upd.exe");
    EXPECT_EQ(Transfer::ServerFileName("US", 9), "upd.exe");  // no letter for an unknown edition
}

TEST_F(UpdateAddressTest, FederalUpdateInNormalMode) {
    Data::DownloadItem item = Add(Entry("us", 1, 3, 4, 123456), "prom1", "camp1");
    EXPECT_EQ(item.url, "http://updates.example.com/updates/2007/win/us/3/cupd.exe");
    EXPECT_EQ(item.localPath, "/home/u/work/Update/US34cupd.exe");
    EXPECT_EQ(item.productCode, "US");
    EXPECT_EQ(item.expectedSize, 123456);
    EXPECT_EQ(item.installedVersion, 3);
    EXPECT_EQ(item.year, 2007);
    EXPECT_EQ(item.prom, "prom1");
    EXPECT_EQ(item.camp, "camp1");
    EXPECT_EQ(list.GetValue("prom"), "prom1");
    EXPECT_EQ(list.GetValue("camp"), "camp1");
}

TEST_F(UpdateAddressTest, StateHelpAndInstallerNames) {
    // A state module: no letter on the server, but the letter in the local name.
    Data::DownloadItem state = Add(Entry("ca", 1, 2, 5));
    EXPECT_EQ(state.url, "http://updates.example.com/updates/2007/win/ca/2/upd.exe");
    EXPECT_EQ(state.localPath, "/home/u/work/Update/CA25cupd.exe");

    Data::DownloadItem help = Add(Entry("hlp", 4, 10, 11));
    EXPECT_EQ(help.url, "http://updates.example.com/updates/2007/win/hlp/10/phlpupd.exe");
    EXPECT_EQ(help.localPath, "/home/u/work/Update/HLP1011pupd.exe");

    Data::DownloadItem inst = Add(Entry("inst", 7, 1, 2));
    EXPECT_EQ(inst.url, "http://updates.example.com/updates/2007/win/inst/1/instupd.exe");
    EXPECT_EQ(inst.localPath, "/home/u/work/Update/INST12bupd.exe");
}

TEST_F(UpdateAddressTest, NoItemUnlessTheOfferedVersionIsHigher) {
    Transfer::AddUpdateItem(list, Entry("us", 1, 4, 4), "P", "C");
    Transfer::AddUpdateItem(list, Entry("us", 1, 5, 4), "P", "C");
    EXPECT_EQ(list.Count(), 0);
    EXPECT_FALSE(list.HasValue("prom"));
}

TEST_F(UpdateAddressTest, QuotedHostLosesItsQuotes) {
    platform.commandLine = "/opt/tessra/tessra-swm /home/u/req.cfg /N \"updates.example.com\"";
    EXPECT_EQ(Add(Entry("us", 2, 3, 4)).url,
              "http://updates.example.com/updates/2007/win/us/3/lupd.exe");
}

TEST_F(UpdateAddressTest, InstallModeUsesRegistryEditionAndTempFolder) {
    platform.commandLine = "/opt/tessra/tessra-swm /install /home/u/req.cfg /N mirror updates.ex";
    platform.registry["SOFTWARE\\ZVN\\2007\\Edition"] = "PremiumState";
    Data::DownloadItem item = Add(Entry("us", 3, 3, 4));
    // Only the last word after "/N " is the host; the whole address is lower case.
    EXPECT_EQ(item.url, "http://updates.ex/updates/2007/win/us/premiumstate/3/fupd.exe");
    EXPECT_EQ(item.localPath, "/var/tmp/u/Update/USupd.exe");
}

TEST_F(UpdateAddressTest, InstallModeWithoutRegistryEditionLeavesAnEmptySegment) {
    platform.commandLine = "/opt/tessra/tessra-swm /home/u/req.cfg /install /N updates.ex";
    EXPECT_EQ(Add(Entry("ny", 1, 3, 4)).url, "http://updates.ex/updates/2007/win/ny//3/upd.exe");
}

TEST_F(UpdateAddressTest, StateDownloadKeepsTheAddressAndItsCase) {
    platform.commandLine = "/opt/tessra/tessra-swm http://Shop.Example/States/2007/CA.exe";
    Data::DownloadItem item = Add(Entry("ca", 1, 0, 1, 5000));
    EXPECT_EQ(item.url, "http://Shop.Example/States/2007/CA.exe");
    EXPECT_EQ(item.localPath, "/srv/common/Tessra/2007/Downloads/CA.exe");
    EXPECT_EQ(item.expectedSize, 5000);
}

TEST_F(UpdateAddressTest, StateAddressEndsBeforeAFollowingPurchaseSwitch) {
    platform.commandLine =
        "/opt/tessra/tessra-swm \"http://Shop.Example/States/2007/CA.exe\" /purchase";
    Data::DownloadItem item = Add(Entry("ca", 1, 0, 1));
    EXPECT_EQ(item.url, "http://Shop.Example/States/2007/CA.exe");
    EXPECT_EQ(item.localPath, "/srv/common/Tessra/2007/Downloads/CA.exe");

    EXPECT_EQ(Transfer::StateAddress("swm  http://h/a/NY.exe   /purchase /N x"),
              "http://h/a/NY.exe");
    // Without the switch the address runs to the end of the line.
    EXPECT_EQ(Transfer::StateAddress("swm http://h/a/NY.exe"), "http://h/a/NY.exe");
    // A "/purchase" inside the address itself is not the switch.
    EXPECT_EQ(Transfer::StateAddress("swm http://h/purchase/NY.exe /purchase"),
              "http://h/purchase/NY.exe");
    EXPECT_EQ(Transfer::StateAddress("swm /home/u/req.cfg"), "");
}

}  // namespace
