#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "TestSupport.h"
#include "data/SettingsFile.h"

using namespace Data;

namespace {

std::vector<std::string> RecordLines(const std::string& product, const std::string& output,
                                     const std::string& installed = "0100") {
    return {"output=" + output, "file-bytes=0",  "installed-ver=" + installed,
            "year=2007",        "camp=411411",   "product=" + product,
            "prom=ALRT",        "isalert=false", "ver=ver.txt"};
}

std::string Join(const std::vector<std::string>& lines, const std::string& end = "\r\n") {
    std::string text;
    for (const std::string& line : lines) text += line + end;
    return text;
}

class SettingsFileTest : public DataTest::FakePlatformTest {
  protected:
    std::unique_ptr<DownloadList> Load(const std::string& text,
                                       const std::string& name = "download.cfg") {
        std::string path = dir / name;
        DataTest::WriteFile(path, text);
        return LoadSettingsFile(path);
    }
    void UpdateCommandLine(const std::string& server = "updates.example.com") {
        fake.commandLine = "/opt/tessra/bin/tessra-swm " + (dir / "download.cfg") + " /N " + server;
    }
};

}  // namespace

TEST_F(SettingsFileTest, NineRecordLinesInAnyOrderMakeOneItem) {
    UpdateCommandLine();
    std::vector<std::string> lines = RecordLines("us", "/tmp/out/us.txt");
    for (int round = 0; round < 18; ++round) {
        if (round == 9) std::reverse(lines.begin(), lines.end());
        std::rotate(lines.begin(), lines.begin() + 1, lines.end());
        auto list = Load(Join(lines));
        ASSERT_EQ(list->Count(), 1) << Join(lines, " | ");
        const DownloadItem& item = list->Item(0);
        EXPECT_EQ(item.url, "http://updates.example.com/updates/2007/win/us/100/ver.txt");
        EXPECT_EQ(item.localPath, "/tmp/out/us.txt");
        EXPECT_EQ(item.productCode, "us");
        EXPECT_EQ(item.prom, "ALRT");
        EXPECT_EQ(item.camp, "411411");
        EXPECT_EQ(item.expectedSize, 0);
        EXPECT_EQ(item.installedVersion, 100);
        EXPECT_EQ(item.year, 2007);
    }
}

TEST_F(SettingsFileTest, GroupsBecomeItemsInFileOrderAndOtherKeysBecomeValues) {
    UpdateCommandLine();
    for (int at = 0; at < 3; ++at) {
        std::vector<std::string> lines = RecordLines("us", "/o/us.txt");
        std::vector<std::string> second = RecordLines("NY", "/o/ny.txt", "7");
        lines.insert(lines.end(), second.begin(), second.end());
        lines.insert(lines.begin() + at * 9, "edition=premium");
        lines.push_back("Output=not a record key");
        auto list = Load(Join(lines, "\n"));
        ASSERT_EQ(list->Count(), 2) << "edition line at " << at;
        EXPECT_EQ(list->Item(0).productCode, "us");
        EXPECT_EQ(list->Item(1).productCode, "NY");
        // The address is lower-cased as a whole.
        EXPECT_EQ(list->Item(1).url, "http://updates.example.com/updates/2007/win/ny/7/ver.txt");
        EXPECT_EQ(list->GetValue("edition"), "premium");
        EXPECT_EQ(list->GetValue("OUTPUT"), "not a record key");
        EXPECT_EQ(list->GetValue("prom"), "ALRT");
        EXPECT_EQ(list->GetValue("isalert"), "false");
        EXPECT_EQ(GetEditionCode(*list), 4);
    }
}

TEST_F(SettingsFileTest, RepeatedTextKeyEmptiesTheFieldUntilItComesAgain) {
    UpdateCommandLine();
    std::vector<std::string> lines = RecordLines("us", "/o/first.txt");
    // A second output before the record completes empties it; the third one fills it.
    lines.insert(lines.begin() + 1, "output=/o/second.txt");
    auto incomplete = Load(Join(lines));
    EXPECT_EQ(incomplete->Count(), 0);

    lines.insert(lines.begin() + 2, "output=/o/third.txt");
    auto list = Load(Join(lines));
    ASSERT_EQ(list->Count(), 1);
    EXPECT_EQ(list->Item(0).localPath, "/o/third.txt");

    // A dropped prom does not reach the values; the next one does.
    std::vector<std::string> proms = RecordLines("us", "/o/us.txt");
    proms.insert(proms.begin(), {"prom=P1", "prom=P2"});
    proms.erase(std::find(proms.begin(), proms.end(), "prom=ALRT"));
    proms.push_back("prom=P3");
    auto promList = Load(Join(proms));
    ASSERT_EQ(promList->Count(), 1);
    EXPECT_EQ(promList->Item(0).prom, "P3");
    EXPECT_EQ(promList->GetValue("prom"), "P3");
}

TEST_F(SettingsFileTest, RepeatedNumberTakesTheNewValueAndNegativeLeavesItUnset) {
    UpdateCommandLine();
    std::vector<std::string> lines = RecordLines("us", "/o/us.txt");
    std::replace(lines.begin(), lines.end(), std::string("year=2007"), std::string("year=-1"));
    auto unset = Load(Join(lines));
    EXPECT_EQ(unset->Count(), 0);

    lines.push_back("year=2006");
    lines.push_back("year=2007");
    auto list = Load(Join(lines));
    ASSERT_EQ(list->Count(), 1);
    EXPECT_EQ(list->Item(0).year, 2006);  // the record completed at the first valid year
}

TEST_F(SettingsFileTest, NumbersFollowAtoiAndNeverOverflow) {
    UpdateCommandLine();
    auto list = Load(Join(RecordLines("us", "/o/us.txt", "0100")) +
                     Join(RecordLines("ca", "/o/ca.txt", "99999999999999")) +
                     Join(RecordLines("ny", "/o/ny.txt", "-2147483649")));
    ASSERT_EQ(list->Count(), 2);
    EXPECT_EQ(list->Item(0).installedVersion, 100);
    EXPECT_EQ(list->Item(0).url, "http://updates.example.com/updates/2007/win/us/100/ver.txt");
    EXPECT_EQ(list->Item(1).installedVersion, INT32_MAX);
    EXPECT_EQ(list->Item(1).url,
              "http://updates.example.com/updates/2007/win/ca/2147483647/ver.txt");
}

TEST_F(SettingsFileTest, IncompleteRecordAtTheEndIsDropped) {
    UpdateCommandLine();
    std::vector<std::string> lines = RecordLines("us", "/o/us.txt");
    lines.pop_back();
    auto list = Load(Join(RecordLines("ca", "/o/ca.txt")) + Join(lines));
    ASSERT_EQ(list->Count(), 1);
    EXPECT_EQ(list->Item(0).productCode, "ca");

    // The last line needs no line end.
    std::string text = Join(RecordLines("ny", "/o/ny.txt"));
    text.erase(text.size() - 2);
    EXPECT_EQ(Load(text)->Count(), 1);
}

TEST_F(SettingsFileTest, LongLineIsReadAsTwoLines) {
    UpdateCommandLine();
    // 254 characters of a note, then a line of its own that sets the edition.
    std::string note = "note=" + std::string(249, 'x');
    auto list = Load(note + "edition=basic\r\n" + Join(RecordLines("us", "/o/us.txt")));
    EXPECT_EQ(list->GetValue("note"), std::string(249, 'x'));
    EXPECT_EQ(list->GetValue("edition"), "basic");
    EXPECT_EQ(GetEditionCode(*list), 6);
    EXPECT_EQ(list->Count(), 1);
}

TEST_F(SettingsFileTest, FileThatCannotBeOpenedGivesAnEmptyList) {
    auto list = LoadSettingsFile(dir / "missing.cfg");
    EXPECT_EQ(list->Count(), 0);
    EXPECT_TRUE(list->Values().empty());
    EXPECT_EQ(GetEditionCode(*list), 7);
    EXPECT_EQ(list->Catalog().Size(), 50u);
}

TEST_F(SettingsFileTest, EditionCodeFromTheEditionWord) {
    const std::pair<const char*, int32_t> cases[] = {
        {"premiumstateefile", 1},
        {"PremiumEFile", 2},
        {"premiumstate", 3},
        {"Premium", 4},
        {"premium ", 4},
        {"standard", 5},
        {"BASIC", 6},
        {"gold", 7},
        {"premium\t", 7},
        {"", 7},
    };
    for (const auto& [word, code] : cases) {
        auto list = Load(std::string("edition=") + word + "\n");
        EXPECT_EQ(GetEditionCode(*list), code) << '"' << word << '"';
    }
    // Only line ends after the "=": the value is the line end itself, no edition.
    EXPECT_EQ(GetEditionCode(*Load("edition=\r\n")), 7);
    EXPECT_EQ(GetEditionCode(*Load("other=premium\n")), 7);
}

TEST_F(SettingsFileTest, ServerTextComesAfterTheNSwitch) {
    std::string lines = Join(RecordLines("us", "/o/us.txt"));
    // A request path with "/N" inside a folder name is not the switch.
    fake.commandLine = "/opt/tessra/bin/tessra-swm /home/Nina/N stuff/req.cfg /N \"Host.Example\" ";
    auto list = Load(lines);
    ASSERT_EQ(list->Count(), 1);
    EXPECT_EQ(list->Item(0).url, "http://host.example/updates/2007/win/us/100/ver.txt");

    // Without "/N" nothing of the command line becomes the server.
    fake.commandLine = "/opt/tessra/bin/tessra-swm /home/u/req.cfg";
    EXPECT_EQ(Load(lines)->Item(0).url, "http:///updates/2007/win/us/100/ver.txt");
}

TEST_F(SettingsFileTest, InstallModePutsTheRegistryEditionIntoThePath) {
    std::string lines = Join(RecordLines("us", "/o/us.txt"));
    fake.commandLine = "/opt/tessra/bin/tessra-swm /home/u/req.cfg /N /install updates.example.com";
    fake.registry["SOFTWARE\\ZVN\\2007\\Edition"] = "PremiumEfile";
    auto list = Load(lines);
    ASSERT_EQ(list->Count(), 1);
    EXPECT_EQ(list->Item(0).url,
              "http://updates.example.com/updates/2007/win/us/premiumefile/100/ver.txt");

    // Without a registry edition the segment stays empty.
    fake.registry.clear();
    EXPECT_EQ(Load(lines)->Item(0).url,
              "http://updates.example.com/updates/2007/win/us//100/ver.txt");

    // "/install" inside the program's path is no switch.
    fake.commandLine = "/opt/install/bin/tessra-swm /home/u/req.cfg /N updates.example.com";
    fake.registry["SOFTWARE\\ZVN\\2007\\Edition"] = "premium";
    EXPECT_EQ(Load(lines)->Item(0).url,
              "http://updates.example.com/updates/2007/win/us/100/ver.txt");
}

TEST_F(SettingsFileTest, AlertFileWithAlertSwitchGetsTheAlertAddress) {
    // The alert settings file as the alert mode writes it.
    std::string text =
        Join({"prom=ALRT", "camp=411411", "edition=premium", "year=2007", "product=alert",
              "ver=alert.txt", "output=" + fake.appData + "/Tessra/2007/alert.txt", "file-bytes=0",
              "installed-ver=1000"});
    fake.commandLine = "/opt/tessra/bin/tessra-swm /alert /hide /home/u/req.cfg /N Updates.Example";
    auto list = Load(text, "Tessra/2007/alert.cfg");
    ASSERT_EQ(list->Count(), 1);
    EXPECT_EQ(list->Item(0).url, "http://Updates.Example/alert/2007/win/alert/alert.txt");
    EXPECT_EQ(list->Item(0).localPath, fake.appData + "/Tessra/2007/alert.txt");
    EXPECT_EQ(list->Item(0).installedVersion, 1000);
    EXPECT_EQ(list->GetValue("isalert"), "true");

    // Without the switch the same file asks for the product's manifest.
    fake.commandLine = "/opt/alert/bin/tessra-swm alert /home/u/req.cfg /N updates.example";
    auto plain = Load(text, "Tessra/2007/alert.cfg");
    ASSERT_EQ(plain->Count(), 1);
    EXPECT_EQ(plain->Item(0).url, "http://updates.example/updates/2007/win/alert/1000/alert.txt");

    // An ordinary settings file is no alert file, even with the switch.
    fake.commandLine = "/opt/tessra/bin/tessra-swm /alert /home/u/req.cfg /N updates.example";
    auto update = Load(Join(RecordLines("us", "/o/us.txt")));
    ASSERT_EQ(update->Count(), 1);
    EXPECT_EQ(update->Item(0).url, "http://updates.example/updates/2007/win/us/100/ver.txt");
}

TEST_F(SettingsFileTest, PurchaseAddressIsTheStateAddressWithVerTxtForAnyFileName) {
    std::string text =
        Join({"prom=STTE", "camp=888888", "edition=premium", "year=2007", "product=ca",
              "ver=ver.txt", "output=" + fake.commonAppData + "/Tessra/2007/Downloads/ver.txt",
              "file-bytes=0", "installed-ver=0100"});
    const std::string expected = "http://States.Example/Dl/2007/ver.txt";
    for (const char* tail : {
             "http://States.Example/Dl/2007/TessraCA.exe",
             "http://States.Example/Dl/2007/CA.exe",
             "http://States.Example/Dl/2007/TessraCaliforniaState2007.exe /purchase",
             "\"http://States.Example/Dl/2007/TessraCA.exe\" /purchase",
             "  http://States.Example/Dl/2007/TessraCA.exe  ",
         }) {
        fake.commandLine = std::string("/opt/tessra/bin/tessra-swm ") + tail;
        auto list = Load(text, "purchase.cfg");
        ASSERT_EQ(list->Count(), 1) << tail;
        EXPECT_EQ(list->Item(0).url, expected) << tail;
        EXPECT_EQ(list->Item(0).localPath, fake.commonAppData + "/Tessra/2007/Downloads/ver.txt");
        EXPECT_EQ(list->Item(0).installedVersion, 100);
    }
    // A purchase that follows an alert still fetches the state's manifest.
    fake.commandLine = "/opt/tessra/bin/tessra-swm /alert http://States.Example/Dl/2007/X.exe";
    EXPECT_EQ(Load(text, "purchase.cfg")->Item(0).url, expected);

    EXPECT_EQ(PurchaseAddress("prog http://h/a/TessraNY.exe /purchase /x"),
              "http://h/a/TessraNY.exe");
    EXPECT_EQ(PurchaseAddress("prog /N host"), "");
}

TEST_F(SettingsFileTest, CompleteRecordAppendsOnlyWhenEveryFieldIsSet) {
    fake.commandLine = "prog /N host";
    DownloadList list;
    PendingRecord record;
    record.output = "/o/us.txt";
    record.fileBytes = 12;
    record.installedVersion = 3;
    record.year = 2007;
    record.camp = "c";
    record.product = "us";
    record.prom = "p";
    record.manifestName = "ver.txt";
    CompleteRecord(record, list);
    EXPECT_EQ(list.Count(), 0);  // is-alert missing

    record.isAlert = "false";
    CompleteRecord(record, list);
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Item(0).expectedSize, 12);
    EXPECT_EQ(list.Item(0).url, "http://host/updates/2007/win/us/3/ver.txt");
    // Emptied for the next record, the is-alert field kept.
    EXPECT_EQ(record.output, "");
    EXPECT_EQ(record.address, "");
    EXPECT_EQ(record.year, -1);
    EXPECT_EQ(record.fileBytes, -1);
    EXPECT_EQ(record.isAlert, "false");
    CompleteRecord(record, list);
    EXPECT_EQ(list.Count(), 1);
}
