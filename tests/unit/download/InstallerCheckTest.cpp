// The gate before an installer runs: size, hash, key, and setting aside.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>

#include "data/Sha256.h"
#include "download/InstallerCheck.h"
#include "platform/FakePlatform.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestSigning.h"

namespace fs = std::filesystem;
using namespace Transfer;
using TestSupport::TempDir;
using TestSupport::WriteFile;

namespace {

const std::string kInstaller =
    "\x7f"
    "ELF" +
    std::string(96, 'x');  // 100 bytes
const std::string kPage = "<html><body>Service unavailable</body></html>\n";

TEST(InstallerCheckTest, VerdictOnEachFile) {
    TempDir dir;
    WriteFile(dir / "good.exe", kInstaller);
    WriteFile(dir / "short.exe", kInstaller.substr(0, 60));
    WriteFile(dir / "long.exe", kInstaller + "tail");
    WriteFile(dir / "empty.exe", "");
    WriteFile(dir / "page.exe", kPage);
    fs::create_directory(dir / "folder.exe");
    ASSERT_EQ(::symlink((dir / "good.exe").c_str(), (dir / "link.exe").c_str()), 0);
    const std::string hash = TestSupport::Sha256Hex(kInstaller);
    std::string upper = hash;
    for (char& c : upper) c = static_cast<char>(std::toupper(c));
    const std::string other = TestSupport::Sha256Hex("something else");

    struct Case {
        const char* file;
        int64_t size;
        std::string sha256;
        bool keyRequired;
        InstallerCause cause;
        int64_t actual;
        bool webPage;
    } cases[] = {
        {"good.exe", 100, "", false, InstallerCause::Ok, 100, false},
        {"good.exe", 100, hash, true, InstallerCause::Ok, 100, false},
        {"good.exe", 100, upper, false, InstallerCause::Ok, 100, false},
        {"good.exe", 100, "", true, InstallerCause::NoHashButKeyRequired, 100, false},
        {"good.exe", 100, other, false, InstallerCause::HashMismatch, 100, false},
        {"good.exe", 100, hash.substr(1), false, InstallerCause::BadHash, 100, false},
        {"good.exe", 100, hash.substr(1) + "g", false, InstallerCause::BadHash, 100, false},
        {"good.exe", 0, hash, false, InstallerCause::SizeUnknown, 100, false},
        {"good.exe", -1, "", false, InstallerCause::SizeUnknown, 100, false},
        {"short.exe", 100, hash, false, InstallerCause::TooSmall, 60, false},
        {"long.exe", 100, hash, false, InstallerCause::TooLarge, 104, false},
        {"empty.exe", 100, hash, false, InstallerCause::Empty, 0, false},
        {"page.exe", 100, hash, false, InstallerCause::TooSmall, 46, true},
        {"missing.exe", 100, hash, false, InstallerCause::Missing, -1, false},
        {"link.exe", 100, hash, false, InstallerCause::NotRegular, -1, false},
        {"folder.exe", 100, hash, false, InstallerCause::NotRegular, -1, false},
    };
    for (const Case& c : cases) {
        InstallerVerdict verdict = VerifyInstaller(dir / c.file, {c.size, c.sha256}, c.keyRequired);
        const std::string label = std::string(c.file) + " " + std::to_string(c.size) + " " +
                                  c.sha256.substr(0, 4) + (c.keyRequired ? " key" : "");
        EXPECT_EQ(CauseName(verdict.cause), std::string(CauseName(c.cause))) << label;
        EXPECT_EQ(verdict.Ok(), c.cause == InstallerCause::Ok) << label;
        EXPECT_EQ(verdict.actualSize, c.actual) << label;
        EXPECT_EQ(verdict.webPage, c.webPage) << label;
    }
}

TEST(InstallerCheckTest, FilesNoDownloadCanMendAreSetAside) {
    TempDir dir;
    const std::string hash = TestSupport::Sha256Hex(kInstaller);
    std::string tampered = kInstaller;
    tampered[50] = 'y';
    struct Case {
        std::string bytes;
        std::string sha256;
        bool setAside;
    } cases[] = {
        {tampered, hash, true},                   // wrong contents
        {kInstaller + "tail", "", true},          // too long: never completed by resuming
        {kPage, "", true},                        // a web page in its place
        {kInstaller.substr(0, 60), hash, false},  // short: the next run resumes it
        {kInstaller, hash, false},                // right
    };
    TestSupport::KeyVariable noKey(dir / "none.pub");
    for (const Case& c : cases) {
        const std::string path = dir / "US34pupd.exe";
        WriteFile(path, c.bytes);
        WriteFile(RejectedPath(path), "older rejected file");
        InstallerVerdict verdict = CheckInstaller(path, {100, c.sha256});
        EXPECT_EQ(verdict.setAside, c.setAside) << c.bytes.size();
        EXPECT_EQ(fs::exists(path), !c.setAside);
        EXPECT_EQ(TestSupport::ReadFile(RejectedPath(path)),
                  c.setAside ? c.bytes : "older rejected file");
    }
}

TEST(InstallerCheckTest, AConfiguredKeyRequiresAHash) {
    TempDir dir;
    WriteFile(dir / "setup.exe", kInstaller);
    TestSupport::TestKey key;
    WriteFile(dir / "usable.pub", key.PublicLine() + "\n");
    WriteFile(dir / "broken.pub", "???\n");
    for (const char* keyFile : {"usable.pub", "broken.pub"}) {
        TestSupport::KeyVariable variable(dir / keyFile);
        EXPECT_EQ(CheckInstaller(dir / "setup.exe", {100, ""}).cause,
                  InstallerCause::NoHashButKeyRequired)
            << keyFile;
        EXPECT_TRUE(
            CheckInstaller(dir / "setup.exe", {100, TestSupport::Sha256Hex(kInstaller)}).Ok())
            << keyFile;
    }
    TestSupport::KeyVariable none(dir / "none.pub");
    EXPECT_TRUE(CheckInstaller(dir / "setup.exe", {100, ""}).Ok());
}

TEST(InstallerCheckTest, MessageNamesTheFileTheSizesAndAWebPage) {
    InstallerVerdict shortPage;
    shortPage.cause = InstallerCause::TooSmall;
    shortPage.expectedSize = 409600;
    shortPage.actualSize = 47;
    shortPage.webPage = true;
    const std::string text = RejectionText(shortPage, "TessraCA.exe");
    EXPECT_NE(text.find("TessraCA.exe is incomplete"), std::string::npos) << text;
    EXPECT_NE(text.find("47 bytes"), std::string::npos) << text;
    EXPECT_NE(text.find("409600 bytes"), std::string::npos) << text;
    EXPECT_NE(text.find("a web page"), std::string::npos) << text;

    InstallerVerdict damaged;
    damaged.cause = InstallerCause::HashMismatch;
    damaged.setAside = true;
    const std::string second = RejectionText(damaged, "TessraNJ.exe");
    EXPECT_NE(second.find("TessraNJ.exe is damaged"), std::string::npos) << second;
    EXPECT_NE(second.find("downloaded again"), std::string::npos) << second;
    EXPECT_EQ(second.find("web page"), std::string::npos) << second;
    EXPECT_EQ(RejectionText(InstallerVerdict{InstallerCause::Ok}, "x"), "");
}

TEST(InstallerCheckTest, DigestOfAFileReadInBlocks) {
    TempDir dir;
    const size_t size = 3 * Data::kHashBlockBytes + 7;  // several blocks and a piece
    const std::string bytes = TestSupport::RandomBytes(size, 3);
    WriteFile(dir / "big.exe", bytes);
    std::optional<FileDigest> digest = DigestFile(dir / "big.exe");
    ASSERT_TRUE(digest);
    EXPECT_EQ(digest->size, static_cast<int64_t>(size));
    EXPECT_EQ(digest->sha256, TestSupport::Sha256Hex(bytes));
    EXPECT_FALSE(DigestFile(dir / "missing.exe"));
}

TEST(InstallerCheckTest, KnownDigestsOfFilesAsTheCheckSeesThem) {
    TempDir dir;
    struct Case {
        std::string bytes;
        const char* sha256;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) {
        WriteFile(dir / "setup.exe", c.bytes);
        std::optional<FileDigest> digest = DigestFile(dir / "setup.exe");
        ASSERT_TRUE(digest) << c.sha256;
        EXPECT_EQ(digest->size, static_cast<int64_t>(c.bytes.size()));
        EXPECT_EQ(digest->sha256, c.sha256);
        if (c.bytes.empty()) continue;  // an empty installer is refused before it is hashed
        const int64_t size = static_cast<int64_t>(c.bytes.size());
        std::string upper = c.sha256;
        for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        EXPECT_TRUE(VerifyInstaller(dir / "setup.exe", {size, upper}, true).Ok()) << c.sha256;
        std::string wrong = c.sha256;
        wrong[63] = wrong[63] == '0' ? '1' : '0';
        EXPECT_EQ(VerifyInstaller(dir / "setup.exe", {size, wrong}, true).cause,
                  InstallerCause::HashMismatch);
    }
}

// The copy that runs is written while its bytes are hashed, block by block.
TEST(InstallerCheckTest, ThePrivateCopyHoldsExactlyTheBytesHashed) {
    TempDir dir;
    Sys::FakePlatform sys;
    sys.privateFolder = dir / "private";
    fs::create_directory(sys.privateFolder);
    fs::permissions(sys.privateFolder, fs::perms::owner_all);
    Sys::Install(&sys);
    const std::string bytes = TestSupport::RandomBytes(2 * Data::kHashBlockBytes + 11, 4);
    const int64_t size = static_cast<int64_t>(bytes.size());
    std::string wrong = TestSupport::Sha256Hex(bytes);
    wrong[0] = wrong[0] == '0' ? '1' : '0';
    struct Case {
        std::string sha256;
        bool ok;
    } cases[] = {{TestSupport::Sha256Hex(bytes), true}, {wrong, false}};
    for (const Case& c : cases) {
        WriteFile(dir / "setup.exe", bytes);
        {
            const VerifiedCopy copy = VerifiedCopy::Make(dir / "setup.exe", {size, c.sha256});
            EXPECT_EQ(copy.Ok(), c.ok);
            if (c.ok) {
                EXPECT_EQ(TestSupport::ReadFile(copy.Path()), bytes);
            } else {
                EXPECT_EQ(copy.Path(), "");
            }
        }
        EXPECT_TRUE(fs::is_empty(sys.privateFolder)) << c.ok;
    }
    Sys::Install(nullptr);
}

}  // namespace
