// The staged-rollout rule: the ROLLOUT line, the place an identity gets, the
// time it is offered, and the identity file itself.
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "data/Rollout.h"
#include "data/SignedText.h"
#include "tests/unit/data/TestSupport.h"

namespace {

using DataTest::FakePlatformTest;
using DataTest::ReadFile;
using DataTest::WriteFile;

std::time_t Utc(const char* text) { return *Data::ParseUtcTime(text); }

TEST(RolloutTest, ReadsTheLineOrIgnoresIt) {
    struct Case {
        const char* value;
        bool usable;
        int64_t hours;
        bool paused;
    } cases[] = {
        {"2008-01-10T12:00:00Z 48", true, 48, false},
        {" 2008-01-10T12:00:00Z\t1 2008-01-11T00:00:00Z ", true, 1, true},
        {"2008-01-10T12:00:00Z 87600", true, 87600, false},
        {"2008-01-10T12:00:00Z 87601", false, 0, false},
        {"2008-01-10T12:00:00Z 0", false, 0, false},
        {"2008-01-10 12:00:00 48", false, 0, false},
        {"2008-02-30T12:00:00Z 48", false, 0, false},
        {"2008-01-10T12:00:00Z", false, 0, false},
        {"2008-01-10T12:00:00Z 48 soon", false, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        const std::optional<Data::Rollout> rollout = Data::ParseRollout(c.value);
        ASSERT_EQ(rollout.has_value(), c.usable);
        if (!rollout) continue;
        EXPECT_EQ(rollout->start, Utc("2008-01-10T12:00:00Z"));
        EXPECT_EQ(rollout->hours, c.hours);
        EXPECT_EQ(rollout->paused.has_value(), c.paused);
        EXPECT_EQ(Data::ParseRollout(Data::FormatRollout(*rollout))->paused, rollout->paused);
    }
}

TEST(RolloutTest, OffersFromItsPlaceOnAndFreezesWhilePaused) {
    const std::time_t start = Utc("2008-01-10T00:00:00Z");
    const Data::Rollout running{start, 100, std::nullopt};
    const Data::Rollout paused{start, 100, start + 30 * 3600};
    struct Case {
        const Data::Rollout* rollout;
        double place;
        std::time_t now;
        bool offered;
    } cases[] = {
        {&running, 0.25, start + 25 * 3600 - 1, false},
        {&running, 0.25, start + 25 * 3600, true},
        {&running, 0.0, start, true},
        {&running, 0.0, start - 1, false},
        {&paused, 0.25, start + 99 * 3600, true},   // reached before the pause
        {&paused, 0.35, start + 99 * 3600, false},  // not reached: waits for a resume
        {&paused, 0.29, start + 20 * 3600, false},  // a pause ahead does not offer early
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.place << " at " << Data::FormatUtcTime(c.now));
        EXPECT_EQ(Data::Offered(*c.rollout, c.place, c.now), c.offered);
    }
    EXPECT_EQ(Data::OfferTime(running, 0.5), start + 50 * 3600);
}

TEST(RolloutTest, AQuarterOfTheTimeOffersToAboutAQuarter) {
    std::mt19937_64 random(7);
    const Data::Rollout rollout{0, 40, std::nullopt};
    constexpr int kIdentities = 4000;
    int offered = 0, offeredOther = 0;
    for (int i = 0; i < kIdentities; ++i) {
        char identity[33];
        std::snprintf(identity, sizeof identity, "%016llx%016llx",
                      static_cast<unsigned long long>(random()),
                      static_cast<unsigned long long>(random()));
        offered += Data::Offered(rollout, Data::RolloutPlace(identity, "US"), 10 * 3600);
        offeredOther += Data::Offered(rollout, Data::RolloutPlace(identity, "ny"), 10 * 3600);
    }
    // Binomial: the standard deviation is under 0.7 % here.
    EXPECT_NEAR(offered / double(kIdentities), 0.25, 0.03);
    EXPECT_NEAR(offeredOther / double(kIdentities), 0.25, 0.03);
}

TEST_F(FakePlatformTest, TheIdentityIsMadeOnceAndReplacedWhenUnusable) {
    const std::string folder = fake.appData + "/Tessra/2007";
    const std::string path = folder + "/swm-id";
    const std::optional<std::string> made = Data::InstallationIdentity();
    ASSERT_TRUE(made);
    EXPECT_EQ(made->find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(made->size(), 32u);
    EXPECT_EQ(ReadFile(path), *made + "\n");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(Data::InstallationIdentity(), made);

    const std::string planted = dir / "elsewhere";
    WriteFile(planted, "0123456789abcdef0123456789abcdef\n");
    for (const char* plant : {"0123456789ABCDEF0123456789ABCDEF\n", "short\n", "link"}) {
        SCOPED_TRACE(plant);
        ::unlink(path.c_str());
        if (std::string(plant) == "link")
            ASSERT_EQ(::symlink(planted.c_str(), path.c_str()), 0);
        else
            WriteFile(path, plant);
        const std::optional<std::string> identity = Data::InstallationIdentity();
        ASSERT_TRUE(identity);
        EXPECT_EQ(ReadFile(path), *identity + "\n");
        EXPECT_NE(*identity, *made);
    }
    EXPECT_EQ(ReadFile(planted), "0123456789abcdef0123456789abcdef\n");
}

}  // namespace
