// Patches and packed installers: ours and the stock zstd command's rebuild
// the same bytes through either decoder, and every frame the program must
// not trust is refused with its cause.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zstd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "download/Patch.h"
#include "tests/support/TestFiles.h"

namespace {

using TestSupport::ReadFile;
using TestSupport::WriteFile;
using Transfer::PatchCause;

bool HaveZstdCommand() { return std::system("zstd --version >/dev/null 2>&1") == 0; }

class PatchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        oldBytes = TestSupport::RandomBytes(300 * 1024, 11);
        // An update: three changed runs, an insertion and a deletion.
        newBytes = oldBytes;
        for (size_t at : {size_t{20000}, size_t{150000}, size_t{290000}})
            newBytes.replace(at, 1000, TestSupport::RandomBytes(1000, static_cast<unsigned>(at)));
        newBytes.insert(100000, TestSupport::RandomBytes(5000, 3));
        newBytes.erase(200000, 2000);
        WriteFile(dir / "old.exe", oldBytes);
        WriteFile(dir / "new.exe", newBytes);
    }

    // Applies `patch` (base: a file's path, empty for a packed frame) and
    // hands back what was written.
    PatchCause Apply(const std::string& base, const std::string& patch, int64_t size,
                     std::string& out) {
        WriteFile(dir / "frame", patch);
        const int baseFd = base.empty() ? -1 : ::open(base.c_str(), O_RDONLY | O_CLOEXEC);
        const int patchFd = ::open((dir / "frame").c_str(), O_RDONLY | O_CLOEXEC);
        const int outFd = ::open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_TRUE((base.empty() || baseFd >= 0) && patchFd >= 0 && outFd >= 0);
        const PatchCause cause = Transfer::ApplyPatch(baseFd, patchFd, outFd, size);
        for (int fd : {baseFd, patchFd, outFd})
            if (fd >= 0) ::close(fd);
        out = ReadFile(dir / "out");
        return cause;
    }

    static std::string Frame(const std::string& content, int contentSizeFlag) {
        std::string frame(ZSTD_compressBound(content.size()), '\0');
        ZSTD_CCtx* cctx = ZSTD_createCCtx();
        ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, contentSizeFlag);
        const size_t n =
            ZSTD_compress2(cctx, frame.data(), frame.size(), content.data(), content.size());
        ZSTD_freeCCtx(cctx);
        EXPECT_FALSE(ZSTD_isError(n));
        frame.resize(ZSTD_isError(n) ? 0 : n);
        return frame;
    }

    // A frame of raw blocks whose header asks for a window of 2^windowLog.
    static std::string WindowFrame(const std::string& content, int windowLog) {
        std::string frame("\x28\xb5\x2f\xfd", 4);
        frame += '\x80';  // a 4-byte content size, no single segment, no checksum
        frame += static_cast<char>((windowLog - 10) << 3);
        for (int i = 0; i < 4; ++i) frame += static_cast<char>(content.size() >> (8 * i));
        const uint32_t block = static_cast<uint32_t>(content.size() << 3) | 1;  // last, raw
        for (int i = 0; i < 3; ++i) frame += static_cast<char>(block >> (8 * i));
        return frame + content;
    }

    TestSupport::TempDir dir;
    std::string oldBytes, newBytes;
};

TEST_F(PatchTest, OursAndTheStockCommandsFramesRebuildTheSameBytes) {
    if (!HaveZstdCommand()) GTEST_SKIP() << "no zstd command";
    const std::string oldPath = dir / "old.exe", newPath = dir / "new.exe";
    struct Maker {
        const char* name;
        bool packed;
        std::function<bool(const std::string&)> make;
    } makers[] = {
        {"ours", false,
         [&](const std::string& p) { return Transfer::MakePatch(oldPath, newPath, p).empty(); }},
        {"stock", false,
         [&](const std::string& p) {
             return std::system(
                        ("zstd -q -f -19 --patch-from=" + oldPath + " " + newPath + " -o " + p)
                            .c_str()) == 0;
         }},
        {"ours packed", true,
         [&](const std::string& p) { return Transfer::MakePacked(newPath, p).empty(); }},
        {"stock packed", true,
         [&](const std::string& p) {
             return std::system(("zstd -q -f -19 " + newPath + " -o " + p).c_str()) == 0;
         }},
    };
    std::uintmax_t sizes[4] = {};
    for (size_t i = 0; i < std::size(makers); ++i) {
        const Maker& m = makers[i];
        const std::string path = dir / ("frame" + std::to_string(i) + ".zst");
        ASSERT_TRUE(m.make(path)) << m.name;
        sizes[i] = std::filesystem::file_size(path);
        const std::string base = m.packed ? std::string() : oldPath;
        std::string out;
        EXPECT_EQ(Apply(base, ReadFile(path), static_cast<int64_t>(newBytes.size()), out),
                  PatchCause::Ok)
            << m.name;
        EXPECT_TRUE(out == newBytes) << m.name;
        EXPECT_EQ(Transfer::CheckPatch(base, path, newPath), "") << m.name;
        const std::string stockOut = dir / "stock.out";
        const std::string decode = "zstd -q -f -d " +
                                   (m.packed ? std::string() : "--patch-from=" + oldPath + " ") +
                                   path + " -o " + stockOut;
        ASSERT_EQ(std::system(decode.c_str()), 0) << m.name;
        EXPECT_TRUE(ReadFile(stockOut) == newBytes) << m.name;
    }
    // The base carries the patch: a few changed KiB, not the whole file.
    EXPECT_LT(sizes[0], newBytes.size() / 10);
    EXPECT_LE(sizes[0], sizes[1] * 105 / 100);
    EXPECT_LE(sizes[2], sizes[3] * 105 / 100);
    // A patch against another base does not check out.
    WriteFile(dir / "other.exe", TestSupport::RandomBytes(oldBytes.size(), 99));
    EXPECT_NE(Transfer::CheckPatch(dir / "other.exe", dir / "frame0.zst", newPath), "");
}

TEST_F(PatchTest, FramesNotToTrustAreRefusedWithTheirCause) {
    ASSERT_EQ(Transfer::MakePatch(dir / "old.exe", dir / "new.exe", dir / "good.zst"), "");
    const std::string good = ReadFile(dir / "good.zst");
    const int64_t size = static_cast<int64_t>(newBytes.size());
    WriteFile(dir / "other.exe", TestSupport::RandomBytes(oldBytes.size(), 99));
    const std::string small = TestSupport::RandomBytes(1000, 4);
    const std::string skippable = std::string("\x50\x2a\x4d\x18\x04\x00\x00\x00", 8) + "abcd";
    struct Case {
        const char* name;
        std::string patch, base;
        int64_t size;
        PatchCause cause;
        bool nothingWritten;
    } cases[] = {
        {"wrong base", good, dir / "other.exe", size, PatchCause::Corrupt, false},
        {"size one short", good, dir / "old.exe", size - 1, PatchCause::WrongSize, true},
        {"size one over", good, dir / "old.exe", size + 1, PatchCause::WrongSize, true},
        {"truncated", good.substr(0, good.size() - 64), dir / "old.exe", size, PatchCause::Corrupt,
         false},
        {"cut in the header", good.substr(0, 5), dir / "old.exe", size, PatchCause::NotAFrame,
         true},
        {"empty", "", dir / "old.exe", size, PatchCause::NotAFrame, true},
        {"not zstd", "MZ" + small, dir / "old.exe", size, PatchCause::NotAFrame, true},
        {"skippable frame", skippable, "", 0, PatchCause::NotAFrame, true},
        {"trailing byte", good + "x", dir / "old.exe", size, PatchCause::Corrupt, false},
        {"two frames", good + good, dir / "old.exe", size, PatchCause::Corrupt, false},
        {"no content size", Frame(small, 0), "", 1000, PatchCause::SizeUnknown, true},
        {"window 2^28", WindowFrame(small, 28), "", 1000, PatchCause::WindowTooLarge, true},
        {"window 2^27", WindowFrame(small, 27), "", 1000, PatchCause::Ok, false},
        {"packed", Frame(small, 1), "", 1000, PatchCause::Ok, false},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(Apply(c.base, c.patch, c.size, out), c.cause) << c.name;
        if (c.nothingWritten) {
            EXPECT_EQ(out.size(), 0u) << c.name;
        }
        if (c.cause == PatchCause::Ok) {
            EXPECT_TRUE(out == small) << c.name;
        }
    }
}

TEST_F(PatchTest, DescriptorsThatCannotBeUsedEndTheRebuild) {
    ASSERT_EQ(Transfer::MakePatch(dir / "old.exe", dir / "new.exe", dir / "good.zst"), "");
    const int64_t size = static_cast<int64_t>(newBytes.size());
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const int base = ::open((dir / "old.exe").c_str(), O_RDONLY | O_CLOEXEC);
    const int patch = ::open((dir / "good.zst").c_str(), O_RDONLY | O_CLOEXEC);
    const int folder = ::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int readOnly = ::open((dir / "new.exe").c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    struct Case {
        const char* name;
        int base, patch, out;
        PatchCause cause;
    } cases[] = {
        {"a pipe as base", pipeFds[0], patch, out, PatchCause::Unreadable},
        {"a folder as patch", base, folder, out, PatchCause::Unreadable},
        {"a read-only output", base, patch, readOnly, PatchCause::WriteFailed},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(::lseek(patch, 0, SEEK_SET), 0);
        EXPECT_EQ(Transfer::ApplyPatch(c.base, c.patch, c.out, size), c.cause) << c.name;
    }
    for (int fd : {pipeFds[0], pipeFds[1], base, patch, folder, readOnly, out}) ::close(fd);
}

}  // namespace
