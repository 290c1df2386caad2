// Choosing the base of a patch among the earlier installers on disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "download/DeltaPlan.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestSigning.h"

namespace {

namespace fs = std::filesystem;
using TestSupport::TempDir;
using TestSupport::WriteFile;

// Written oldest first, so that each file is newer than the one before.
void WriteAged(const std::string& path, const std::string& bytes, int age) {
    WriteFile(path, bytes);
    const struct timespec times[2] = {{1000000000L - age * 60L, 0}, {1000000000L - age * 60L, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

TEST(DeltaPlan, CandidatesAreTheProductsOwnRegularFilesNewestFirst) {
    TempDir dir;
    const std::string target = dir / "US100102pupd.exe";
    for (int i = 0; i < 10; ++i)
        WriteAged(dir / ("US" + std::to_string(90 + i) + "91pupd.exe"), "x", 100 - i);
    WriteAged(dir / "US100101pupd.exe", "newest", 1);
    WriteAged(target, "the download itself", 0);
    WriteAged(dir / "US100101cupd.exe", "another edition", 0);
    WriteAged(dir / "CA100101pupd.exe", "another product", 0);
    WriteAged(dir / "US100101pupd.exe.delta", "a patch", 0);
    WriteAged(dir / "USxpupd.exe", "not a saved name", 0);
    fs::create_symlink(dir / "US100101pupd.exe", dir / "US1pupd.exe");
    fs::create_directory(dir / "US2pupd.exe");

    const auto found = Transfer::BaseCandidates(target, "US", "p", false);
    ASSERT_EQ(found.size(), Transfer::kMaxBaseCandidates);
    EXPECT_EQ(found[0], dir / "US100101pupd.exe");
    EXPECT_EQ(found[1], dir / "US9991pupd.exe");
    EXPECT_EQ(found[7], dir / "US9391pupd.exe");

    // A purchase takes the file at the download path, and only that.
    EXPECT_EQ(Transfer::BaseCandidates(target, "US", "p", true), std::vector<std::string>{target});
    EXPECT_TRUE(Transfer::BaseCandidates(dir / "TessraNY.exe", "NY", "p", true).empty());
}

TEST(DeltaPlan, TheNewestCandidateOfALinesSizeAndHashWins) {
    TempDir dir;
    const std::string a = "release 1", b = "release 2!", c = "release 3";  // c: a's size
    WriteAged(dir / "US1pupd.exe", a, 3);
    WriteAged(dir / "US2pupd.exe", b, 2);
    WriteAged(dir / "US3pupd.exe", c, 1);
    Data::UpdateEntry entry;
    entry.sha256 = TestSupport::Sha256Hex("release 4");
    entry.deltas = {{static_cast<int64_t>(a.size()), TestSupport::Sha256Hex(a), 5, "from1.patch"},
                    {static_cast<int64_t>(b.size()), TestSupport::Sha256Hex(b), 5, "from2.patch"}};
    const auto candidates = Transfer::BaseCandidates(dir / "US4pupd.exe", "US", "p", false);

    Transfer::DeltaPick pick = Transfer::PickDelta(entry, candidates);
    EXPECT_EQ(pick.choice, 1);  // US3 has a's size, not its bytes; US2 is next
    EXPECT_EQ(pick.base, dir / "US2pupd.exe");

    entry.deltas.erase(entry.deltas.begin() + 1);
    EXPECT_EQ(Transfer::PickDelta(entry, candidates).base, dir / "US1pupd.exe");
    entry.deltas[0].baseSha256 = TestSupport::Sha256Hex("never shipped");
    EXPECT_EQ(Transfer::PickDelta(entry, candidates).choice, -1);
    entry.deltas[0].baseSha256 = TestSupport::Sha256Hex(a);
    entry.sha256.clear();  // a rebuilt file could not be checked
    EXPECT_EQ(Transfer::PickDelta(entry, candidates).choice, -1);

    EXPECT_EQ(Transfer::SiblingAddress("http://h/updates/2007/win/us/100/pupd.exe", "p.zst"),
              "http://h/updates/2007/win/us/100/p.zst");
}

}  // namespace
