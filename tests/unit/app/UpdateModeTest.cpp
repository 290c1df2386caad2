// The update mode: every transition from the settings file to the finished screen.
#include "AppTestSupport.h"

namespace AppTest {
namespace {

using Names = std::vector<std::string>;

class UpdateMode : public AppFixture {
  protected:
    void RunWith(const std::vector<Product>& products, const std::string& extra = "") {
        std::string path = WriteRequest(products);
        SetArguments(path + " /N updates.example" + extra);
        Run();
    }
};

TEST_F(UpdateMode, UnusableSettingsShowTheRequiredFileMessageBeforeAnyCheck) {
    std::string path = WriteRequest({{"us", 100, Manifest("US", 101)}}, "deluxe");
    SetArguments(path + " /N updates.example");
    Run();
    ASSERT_EQ(fake.messages.size(), 1u);
    EXPECT_EQ(fake.messages[0].title, "Software Manager Error");
    EXPECT_EQ(fake.messages[0].text,
              "The Software Manager could not find a required file\nand will now exit.");
    EXPECT_EQ(checks, 0);
    EXPECT_TRUE(screens.shown.empty());

    // A missing settings file reads as no edition as well.
    fake.messages.clear();
    SetArguments((root / "nowhere.cfg").string() + " /N updates.example");
    Run();
    EXPECT_EQ(Titles(), Names{"Software Manager Error"});
}

TEST_F(UpdateMode, SomeUpdatesGoThroughSelectionProgressAndFinished) {
    screens.script = {{"UpdatesAvailableDlg", 1}, {"DLMgrDlg", 1}, {"FinishedDlg", 1}};
    RunWith({{"us", 100, Manifest("US", 101)},
             {"ny", 5, Manifest("ny", 5)},  // equal: up to date
             {"ca", 7, Manifest("CA", 9)},
             {"hlp", 3, Manifest("HLP", 2)}});  // lower: up to date
    EXPECT_EQ(screens.Names(), (Names{"UpdatesAvailableDlg", "DLMgrDlg", "FinishedDlg"}));
    EXPECT_EQ(screens.shown[0].first, (Names{"US", "CA"}));
    EXPECT_EQ(screens.shown[0].second, (Names{"NY", "HLP"}));
    EXPECT_EQ(screens.shown[1].first, (Names{"US", "CA"}));
    EXPECT_EQ(screens.shown[1].edition, 4);
    EXPECT_EQ(screens.shown[1].prom, "P1");
    EXPECT_EQ(screens.shown[1].camp, "C1");
    EXPECT_EQ(screens.shown[2].first, (Names{"US", "CA"}));
    EXPECT_EQ(checks, 1);
    EXPECT_TRUE(fake.messages.empty());
    EXPECT_TRUE(fake.starts.empty());  // installing is the finished screen's business
}

TEST_F(UpdateMode, EveryProductWithAnUpdateShowsAllUpdatesAvailable) {
    screens.script = {{"AllUpdsAvailDlg", 1}, {"DLMgrDlg", 2}, {"FinishedDlg", 2}};
    RunWith({{"us", 100, Manifest("US", 101)}, {"ny", 1, Manifest("NY", 2)}});
    // Cancelled downloads still lead to the finished screen.
    EXPECT_EQ(screens.Names(), (Names{"AllUpdsAvailDlg", "DLMgrDlg", "FinishedDlg"}));
    EXPECT_EQ(screens.shown[0].first, (Names{"US", "NY"}));
    EXPECT_TRUE(screens.AllUsed());
}

TEST_F(UpdateMode, SelectionScreenCancelOrAnyOtherResultEndsTheRun) {
    for (int result : {2, 0, 4}) {
        screens = ScriptedScreens();
        screens.script = {{"UpdatesAvailableDlg", result}};
        RunWith({{"us", 100, Manifest("US", 101)}, {"ny", 5, Manifest("NY", 5)}});
        EXPECT_EQ(screens.Names(), Names{"UpdatesAvailableDlg"}) << result;
        screens = ScriptedScreens();
        screens.script = {{"AllUpdsAvailDlg", result}};
        RunWith({{"us", 100, Manifest("US", 101)}});
        EXPECT_EQ(screens.Names(), Names{"AllUpdsAvailDlg"}) << result;
    }
}

TEST_F(UpdateMode, NothingToUpdateShowsTheNoUpdatesScreenUnlessHidden) {
    screens.script = {{"NoUpdatesAvailDlg", 1}};
    RunWith({{"us", 100, Manifest("US", 100)}, {"ny", 5, Manifest("NY", 4)}});
    EXPECT_EQ(screens.Names(), Names{"NoUpdatesAvailDlg"});
    EXPECT_EQ(screens.shown[0].first, (Names{"US", "NY"}));

    screens = ScriptedScreens();
    RunWith({{"us", 100, Manifest("US", 100)}}, " /hide");
    EXPECT_TRUE(screens.shown.empty());
    EXPECT_TRUE(fake.messages.empty());
}

TEST_F(UpdateMode, NoRequestItemsShowAnEmptyAllUpdatesScreenAndEndWhateverItAnswers) {
    for (int result : {1, 2}) {
        screens = ScriptedScreens();
        screens.script = {{"AllUpdsAvailDlg", result}};
        RunWith({});
        EXPECT_EQ(screens.Names(), Names{"AllUpdsAvailDlg"});
        EXPECT_TRUE(screens.shown[0].first.empty());
    }
}

TEST_F(UpdateMode, FailedCheckLoopsOnCannotConnectUntilTryAgainSucceedsOrCancel) {
    checkResults = {false};
    screens.script = {
        {"NoNetworkDlg", 4}, {"NoNetworkDlg", 4}, {"NoNetworkDlg", 1}, {"AllUpdsAvailDlg", 2}};
    RunWith({{"us", 100, Manifest("US", 101)}});
    EXPECT_EQ(screens.Names(),
              (Names{"NoNetworkDlg", "NoNetworkDlg", "NoNetworkDlg", "AllUpdsAvailDlg"}));
    EXPECT_EQ(checks, 1);  // Try Again is the screen's own check

    screens = ScriptedScreens();
    checkResults = {false};
    screens.script = {{"NoNetworkDlg", 2}};
    RunWith({{"us", 100, Manifest("US", 101)}});
    EXPECT_EQ(screens.Names(), Names{"NoNetworkDlg"});
}

TEST_F(UpdateMode, UnreadableManifestsAndUnknownProductsAreLeftOutOfBothLists) {
    screens.script = {{"UpdatesAvailableDlg", 2}};
    RunWith({{"us", 100, Manifest("US", 101)},
             {"ny", 5, ""},                 // manifest never arrived
             {"tx", 1, Manifest("TX", 9)},  // not in the catalogue
             {"ca", 1, Manifest("CA", 1)}});
    // US has an update, CA is current: the unusable products take no part.
    EXPECT_EQ(screens.Names()[0], "UpdatesAvailableDlg");
    EXPECT_EQ(screens.shown[0].first, (Names{"US"}));
    EXPECT_EQ(screens.shown[0].second, (Names{"CA"}));

    screens = ScriptedScreens();
    screens.script = {{"AllUpdsAvailDlg", 1}};
    RunWith({{"ny", 5, ""}, {"tx", 1, Manifest("TX", 9)}});
    EXPECT_EQ(screens.Names(), Names{"AllUpdsAvailDlg"});
    EXPECT_TRUE(screens.shown[0].first.empty());
}

TEST_F(UpdateMode, ManyProductsAreAllListedInOrder) {
    std::vector<Product> products;
    Names expected;
    const char* states[] = {"al", "az", "ar", "ca", "co", "ct", "de", "dc", "fl", "ga"};
    for (int i = 0; i < 60; ++i) {
        std::string code = states[i % 10];
        products.push_back({code, i, Manifest(code, i + 1)});
        expected.push_back(Data::ToUpper(code));
    }
    screens.script = {{"AllUpdsAvailDlg", 1}, {"DLMgrDlg", 1}, {"FinishedDlg", 1}};
    RunWith(products);
    ASSERT_EQ(screens.shown.size(), 3u);
    EXPECT_EQ(screens.shown[2].first, expected);
}

}  // namespace
}  // namespace AppTest
