// The gate before an installer runs: size, hash, key, and setting aside.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "download/InstallerCheck.h"
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
    const std::string bytes = TestSupport::RandomBytes(200000, 3);  // several blocks
    WriteFile(dir / "big.exe", bytes);
    std::optional<FileDigest> digest = DigestFile(dir / "big.exe");
    ASSERT_TRUE(digest);
    EXPECT_EQ(digest->size, 200000);
    EXPECT_EQ(digest->sha256, TestSupport::Sha256Hex(bytes));
    EXPECT_FALSE(DigestFile(dir / "missing.exe"));
}

}  // namespace
