#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "platform/TrustedFolder.h"
#include "tests/support/TestFiles.h"

namespace {

namespace fs = std::filesystem;
using Sys::FolderFault;
using TestSupport::TempDir;
using TestSupport::WriteFile;

constexpr uid_t kNeighbour = 65534;

// Each row plants something under the test folder and walks `path` (relative to it).
struct Row {
    const char* name;
    std::function<void(const TempDir&)> plant;
    const char* path;
    FolderFault fault;
    const char* refused;       // relative to the test folder; "" when none
    bool asNeighbour = false;  // needs root: the plant belongs to another user
};

TEST(TrustedFolder, WalksFolderByFolderAndRefusesWhatAnotherUserCouldChange) {
    const std::vector<Row> rows = {
        {"created with its mode", [](const TempDir&) {}, "a/b/c", FolderFault::None, ""},
        {"dot-dot goes back up the walked chain",
         [](const TempDir& d) { fs::create_directories(d / "a/c"); }, "a/b/../c", FolderFault::None,
         ""},
        {"an own link is followed and its target walked",
         [](const TempDir& d) {
             fs::create_directories(d / "real/sub");
             fs::create_directory_symlink(d / "real", d / "own");
         },
         "own/sub", FolderFault::None, ""},
        {"an own link into a folder others may write",
         [](const TempDir& d) {
             fs::create_directories(d / "open/sub");
             fs::permissions(d / "open", fs::perms::all);
             fs::create_directory_symlink("open", d / "own");
         },
         "own/sub", FolderFault::OthersMayWrite, "open"},
        {"sticky and writable by all is fine",
         [](const TempDir& d) {
             fs::create_directories(d / "tmp");
             ASSERT_EQ(chmod((d / "tmp").c_str(), 01777), 0);
         },
         "tmp/mine", FolderFault::None, ""},
        {"group may write, not our group",
         [](const TempDir& d) {
             fs::create_directories(d / "g/sub");
             ASSERT_EQ(chmod((d / "g").c_str(), 0775), 0);
             ASSERT_EQ(chown((d / "g").c_str(), -1, getegid() + 1), 0);
         },
         "g/sub", FolderFault::OthersMayWrite, "g", true},
        {"a file where a folder should be", [](const TempDir& d) { WriteFile(d / "file", "x"); },
         "file/sub", FolderFault::NotFolder, "file"},
        {"a link loop",
         [](const TempDir& d) {
             fs::create_directory_symlink("loop2", d / "loop1");
             fs::create_directory_symlink("loop1", d / "loop2");
         },
         "loop1/x", FolderFault::Link, "loop1"},
        {"a neighbour's link in the middle",
         [](const TempDir& d) {
             fs::create_directories(d / "elsewhere/Downloads");
             fs::create_directory_symlink(d / "elsewhere", d / "state");
             ASSERT_EQ(lchown((d / "state").c_str(), kNeighbour, kNeighbour), 0);
         },
         "state/Downloads", FolderFault::Link, "state", true},
        {"a neighbour's folder",
         [](const TempDir& d) {
             fs::create_directories(d / "theirs");
             ASSERT_EQ(chown((d / "theirs").c_str(), kNeighbour, kNeighbour), 0);
         },
         "theirs/Update", FolderFault::OtherOwner, "theirs", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.asNeighbour && geteuid() != 0) continue;  // only root can plant as another user
        TempDir dir;
        row.plant(dir);
        const Sys::TrustedFolder folder = Sys::OpenTrustedFolder(dir / row.path, true, 0700);
        EXPECT_EQ(folder.Fault(), row.fault) << Sys::FolderFaultName(folder.Fault());
        EXPECT_EQ(folder.Ok(), row.fault == FolderFault::None);
        EXPECT_EQ(folder.Refused(), *row.refused ? dir / row.refused : "");
        if (folder.Ok()) {
            struct stat opened {
            }, named{};
            ASSERT_EQ(fstat(folder.Fd(), &opened), 0);
            ASSERT_EQ(stat((dir / row.path).c_str(), &named), 0);
            EXPECT_EQ(opened.st_ino, named.st_ino);  // the folder the path names
        }
    }
    // Not created unless asked; a missing folder is not a planted one.
    TempDir dir;
    const Sys::TrustedFolder missing = Sys::OpenTrustedFolder(dir / "none/sub", false);
    EXPECT_EQ(missing.Fault(), FolderFault::Missing);
    EXPECT_FALSE(Sys::Unsafe(missing.Fault()));
    EXPECT_FALSE(fs::exists(dir / "none"));
    struct stat made {};
    ASSERT_TRUE(Sys::OpenTrustedFolder(dir / "made", true, 0700).Ok());
    ASSERT_EQ(stat((dir / "made").c_str(), &made), 0);
    EXPECT_EQ(made.st_mode & 0077, 0u);
}

}  // namespace
