// tessra-publish as the people who run the update server use it, checked
// against the program's own reading of keys, manifests and signatures.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <thread>

#include "data/Manifest.h"
#include "data/SignedText.h"
#include "download/Patch.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestSigning.h"

extern char** environ;

namespace {

using TestSupport::ReadFile;
using TestSupport::WriteFile;

struct ToolRun {
    int status = -1;
    std::string out, err;
};

class PublishToolTest : public ::testing::Test {
  protected:
    ToolRun Publish(std::vector<std::string> args) {
        args.insert(args.begin(), PUBLISH_TOOL);
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        const std::string outPath = dir / "out", errPath = dir / "err";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        pid_t pid = 0;
        ToolRun run;
        const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(spawned, 0);
        if (spawned != 0) return run;
        // A tool stuck on its input must fail the test, not hang it.
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "tessra-publish " << args[1] << " did not end";
                ::kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.out = ReadFile(outPath);
        run.err = ReadFile(errPath);
        return run;
    }
    static size_t Lines(const std::string& text) {
        return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    }
    Data::SignatureStatus Verdict(const std::string& file, const std::string& pub) {
        return Data::VerifySignedFile(file, Data::LoadPublisherKey(pub));
    }
    TestSupport::TempDir dir;
};

TEST_F(PublishToolTest, KeygenManifestVerifyAndTamper) {
    ASSERT_EQ(Publish({"keygen", dir / "pub"}).status, 0);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "pub.key").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(Data::LoadPublisherKey(dir / "pub.pub").state, Data::PublisherKey::State::Usable);
    // A second keygen never replaces a key.
    const std::string key = ReadFile(dir / "pub.key");
    ToolRun again = Publish({"keygen", dir / "pub"});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(Lines(again.err), 1u) << again.err;
    EXPECT_EQ(ReadFile(dir / "pub.key"), key);

    const std::string installer = TestSupport::RandomBytes(100000, 5);
    WriteFile(dir / "pupd.exe", installer);
    ToolRun manifest =
        Publish({"manifest", "--product", "US", "--year", "2007", "--version", "4", "--message",
                 "Forms 1040 final = done", "--key", dir / "pub.key", dir / "pupd.exe"});
    ASSERT_EQ(manifest.status, 0) << manifest.err;
    const std::string expectedBody =
        "Product=US\r\nYEAR=2007\r\nVERSION=4\r\nSIZE=100000\r\nSHA256=" +
        TestSupport::Sha256Hex(installer) + "\r\nMESSAGE=Forms 1040 final = done\r\n";
    ASSERT_TRUE(manifest.out.starts_with(expectedBody)) << manifest.out;
    EXPECT_TRUE(manifest.out.substr(expectedBody.size()).starts_with("SIGNATURE="));
    EXPECT_TRUE(manifest.out.ends_with("\r\n"));
    WriteFile(dir / "ver.txt", manifest.out);
    EXPECT_EQ(Publish({"verify", "--pub", dir / "pub.pub", dir / "ver.txt"}).status, 0);
    EXPECT_EQ(Verdict(dir / "ver.txt", dir / "pub.pub"), Data::SignatureStatus::Valid);
    Data::DownloadList list;
    auto entry = Data::ReadManifest(dir / "ver.txt", list);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->size, 100000);
    EXPECT_EQ(entry->sha256, TestSupport::Sha256Hex(installer));
    EXPECT_EQ(entry->message, "Forms 1040 final = done");

    // One byte changed, in the body or in the signature: refused with one line.
    for (size_t at : {size_t{20}, manifest.out.size() - 10}) {
        std::string tampered = manifest.out;
        tampered[at] = tampered[at] == 'A' ? 'B' : 'A';
        WriteFile(dir / "ver.txt", tampered);
        ToolRun verify = Publish({"verify", "--pub", dir / "pub.pub", dir / "ver.txt"});
        EXPECT_EQ(verify.status, 1) << at;
        EXPECT_EQ(Lines(verify.err), 1u) << verify.err;
        EXPECT_NE(verify.err.find("signature invalid"), std::string::npos) << verify.err;
    }
    // Without a key: the same manifest, unsigned.
    ToolRun unsignedRun = Publish({"manifest", "--product", "US", "--year", "2007", "--version",
                                   "4", "--message", "Forms 1040 final = done", dir / "pupd.exe"});
    EXPECT_EQ(unsignedRun.out, expectedBody);
    WriteFile(dir / "plain.txt", unsignedRun.out);
    ToolRun missing = Publish({"verify", "--pub", dir / "pub.pub", dir / "plain.txt"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("signature missing"), std::string::npos) << missing.err;
}

TEST_F(PublishToolTest, SignAddsOrReplacesTheSignatureInPlace) {
    ASSERT_EQ(Publish({"keygen", dir / "one"}).status, 0);
    ASSERT_EQ(Publish({"keygen", dir / "two"}).status, 0);
    struct Case {
        std::string text, signedBody;
    } cases[] = {
        {"product=ALERT\nVERSION=7\n", "product=ALERT\nVERSION=7\n"},
        {"product=ALERT\r\nVERSION=7", "product=ALERT\r\nVERSION=7\r\n"},  // the end is added
    };
    for (const Case& c : cases) {
        WriteFile(dir / "alert.txt", c.text);
        ::chmod((dir / "alert.txt").c_str(), 0640);
        ASSERT_EQ(Publish({"sign", "--key", dir / "one.key", dir / "alert.txt"}).status, 0);
        EXPECT_EQ(Verdict(dir / "alert.txt", dir / "one.pub"), Data::SignatureStatus::Valid);
        ASSERT_EQ(Publish({"sign", "--key", dir / "two.key", dir / "alert.txt"}).status, 0);
        const std::string now = ReadFile(dir / "alert.txt");
        EXPECT_TRUE(now.starts_with(c.signedBody + "SIGNATURE=")) << now;
        EXPECT_EQ(now.find("SIGNATURE=", c.signedBody.size() + 1), std::string::npos) << now;
        EXPECT_EQ(Verdict(dir / "alert.txt", dir / "two.pub"), Data::SignatureStatus::Valid);
        EXPECT_EQ(Verdict(dir / "alert.txt", dir / "one.pub"), Data::SignatureStatus::Invalid);
        WriteFile(dir / "both.pub", ReadFile(dir / "one.pub") + ReadFile(dir / "two.pub"));
        EXPECT_EQ(Publish({"verify", "--pub", dir / "both.pub", dir / "alert.txt"}).status, 0);
        struct stat st {};
        ASSERT_EQ(::stat((dir / "alert.txt").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u);
    }
}

// Key files hold the base64 of the 32-byte seed, as every earlier version wrote
// them; the seed and public key are RFC 8032's first test vector.
TEST_F(PublishToolTest, AnEarlierVersionsKeyFileSignsAsBefore) {
    const std::string seed = "nWGxne/9WmC6hEr0kuwsxERJxWl7MmkZcDusAxyuf2A=";
    const std::string publicLine = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=";
    WriteFile(dir / "old.key", seed + "\n");
    WriteFile(dir / "old.pub", publicLine + "\n");
    std::array<unsigned char, 32> seedBytes{};
    const std::string decoded = *Data::DecodeBase64(seed, 32);
    std::copy(decoded.begin(), decoded.end(), seedBytes.begin());
    const std::string body = "product=ALERT\r\nVERSION=7\r\n";
    WriteFile(dir / "alert.txt", body);
    ASSERT_EQ(Publish({"sign", "--key", dir / "old.key", dir / "alert.txt"}).status, 0);
    EXPECT_EQ(ReadFile(dir / "alert.txt"), TestSupport::TestKey(seedBytes).Sign(body));
    EXPECT_EQ(Verdict(dir / "alert.txt", dir / "old.pub"), Data::SignatureStatus::Valid);
}

TEST_F(PublishToolTest, HelpVersionAndUsageErrors) {
    for (const char* word : {"--help", "--version"}) {
        ToolRun run = Publish({word});
        EXPECT_EQ(run.status, 0) << word;
        EXPECT_NE(run.out.find("tessra-publish"), std::string::npos) << word;
        EXPECT_EQ(run.err, "") << word;
    }
    WriteFile(dir / "setup.exe", "x");
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {},
             {"publish"},
             {"keygen"},
             {"sign", dir / "a.txt"},
             {"verify", "--pub"},
             {"manifest", "--year", "2007", "--version", "4", "--message", "m", dir / "setup.exe"},
             {"manifest", "--product", "US", "--product", "US", dir / "setup.exe"}}) {
        ToolRun run = Publish(args);
        EXPECT_EQ(run.status, 2) << (args.empty() ? "" : args[0]);
        EXPECT_EQ(run.out, "");
    }
    // Values the program could not read back are refused before anything is written.
    for (const std::vector<std::string>& fields :
         std::vector<std::vector<std::string>>{{"US", "2007", "4", "line one\nline two"},
                                               {"US", "2oo7", "4", "m"},
                                               {"U=S", "2007", "4", "m"},
                                               {"US", "2007", "99999999999", "m"}}) {
        ToolRun run = Publish({"manifest", "--product", fields[0], "--year", fields[1], "--version",
                               fields[2], "--message", fields[3], dir / "setup.exe"});
        EXPECT_EQ(run.status, 1) << fields[0] << fields[1] << fields[2];
        EXPECT_EQ(Lines(run.err), 1u) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

TEST_F(PublishToolTest, ExpiresDaysWritesAnExpiryThatManyDaysAhead) {
    WriteFile(dir / "setup.exe", "installer");
    const std::time_t before = std::time(nullptr), day = 24 * 60 * 60;
    ToolRun run = Publish({"manifest", "--product", "US", "--year", "2007", "--version", "4",
                           "--message", "m", "--expires-days", "30", dir / "setup.exe"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Data::ExpiryOf(run.out, before + 30 * day - 60), Data::Expiry::Current) << run.out;
    EXPECT_EQ(Data::ExpiryOf(run.out, std::time(nullptr) + 30 * day + 60), Data::Expiry::Expired);
}

TEST_F(PublishToolTest, SpecialFilesAsInputsEndAtOnce) {
    ASSERT_EQ(Publish({"keygen", dir / "pub"}).status, 0);
    WriteFile(dir / "setup.exe", "installer");
    WriteFile(dir / "alert.txt", "product=ALERT\r\n");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0700), 0);
    const std::string fifo = dir / "fifo";
    const std::vector<std::string> manifest = {
        "manifest", "--product", "US", "--year", "2007", "--version", "4", "--message", "m"};
    auto with = [](std::vector<std::string> words, std::vector<std::string> more) {
        words.insert(words.end(), more.begin(), more.end());
        return words;
    };
    for (const std::vector<std::string>& args : {
             with(manifest, {fifo}),
             with(manifest, {"--key", fifo, dir / "setup.exe"}),
             with(manifest, {dir / "folder"}),
             std::vector<std::string>{"sign", "--key", fifo, dir / "alert.txt"},
             std::vector<std::string>{"sign", "--key", dir / "pub.key", fifo},
             std::vector<std::string>{"verify", "--pub", dir / "pub.pub", fifo},
             std::vector<std::string>{"verify", "--pub", fifo, dir / "alert.txt"},
             std::vector<std::string>{"delta", fifo, dir / "setup.exe", dir / "p.zst"},
             std::vector<std::string>{"delta", dir / "setup.exe", fifo, dir / "p.zst"},
             std::vector<std::string>{"pack", fifo, dir / "p.zst"},
             with(manifest, {"--delta", fifo + ":" + dir / "alert.txt", dir / "setup.exe"}),
             with(manifest, {"--delta", dir / "alert.txt:" + fifo, dir / "setup.exe"}),
             with(manifest, {"--packed", fifo, dir / "setup.exe"}),
         }) {
        ToolRun run = Publish(args);
        EXPECT_EQ(run.status, 1) << args.back();
        EXPECT_EQ(Lines(run.err), 1u) << run.err;
    }
}

// Installers that compress (6 bits of 8 used), so a packed frame is smaller.
std::string Installer(size_t size, unsigned seed) {
    std::string bytes = TestSupport::RandomBytes(size, seed);
    for (char& c : bytes) c = static_cast<char>(c & 0x3f);
    return bytes;
}

TEST_F(PublishToolTest, DeltaPackAndTheirManifestLines) {
    ASSERT_EQ(Publish({"keygen", dir / "pub"}).status, 0);
    const std::string old = Installer(600 * 1024, 21);
    std::string installer = old;
    installer.replace(300000, 1000, Installer(1000, 22));
    WriteFile(dir / "old.exe", old);
    WriteFile(dir / "new.exe", installer);
    WriteFile(dir / "other.exe", Installer(600 * 1024, 23));
    // The sizes go to stdout; each file rebuilds the installer.
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"delta", dir / "old.exe", dir / "new.exe", dir / "p1.zst"},
             {"delta", dir / "other.exe", dir / "new.exe", dir / "far.zst"},
             {"pack", dir / "new.exe", dir / "new.exe.zst"}}) {
        ToolRun run = Publish(args);
        ASSERT_EQ(run.status, 0) << args[1] << run.err;
        EXPECT_EQ(Lines(run.out), 1u) << run.out;
        EXPECT_NE(run.out.find(std::to_string(installer.size()) + " bytes"), std::string::npos);
        EXPECT_EQ(
            Transfer::CheckPatch(args[0] == "pack" ? "" : args[1], args.back(), dir / "new.exe"),
            "");
    }
    const std::vector<std::string> manifest = {
        "manifest", "--product", "US", "--year", "2007", "--version", "4", "--message", "m"};
    auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> words = manifest;
        words.insert(words.end(), more.begin(), more.end());
        return words;
    };
    ToolRun run = Publish(with(
        {"--key", dir / "pub.key", "--delta", dir / "old.exe:" + dir / "p1.zst", "--delta",
         dir / "other.exe:" + dir / "far.zst", "--packed", dir / "new.exe.zst", dir / "new.exe"}));
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string delta =
        "\r\nDELTA=" + std::to_string(old.size()) + " " + TestSupport::Sha256Hex(old) + " " +
        std::to_string(std::filesystem::file_size(dir / "p1.zst")) +
        " p1.zst\r\nPACKED=" + std::to_string(std::filesystem::file_size(dir / "new.exe.zst")) +
        " new.exe.zst\r\nSIGNATURE=";
    EXPECT_NE(run.out.find(delta), std::string::npos) << run.out;
    // The patch from an unrelated base is as large as the installer.
    EXPECT_EQ(Lines(run.err), 1u) << run.err;
    EXPECT_NE(run.err.find("far.zst: over half"), std::string::npos) << run.err;
    WriteFile(dir / "ver.txt", run.out);
    EXPECT_EQ(Verdict(dir / "ver.txt", dir / "pub.pub"), Data::SignatureStatus::Valid);

    // A small installer: the delta saves too little.
    WriteFile(dir / "small-old.exe", old.substr(0, 200000));
    WriteFile(dir / "small.exe", installer.substr(0, 200000));
    ASSERT_EQ(Publish({"delta", dir / "small-old.exe", dir / "small.exe", dir / "s.zst"}).status,
              0);
    run = Publish(with({"--delta", dir / "small-old.exe:" + dir / "s.zst", dir / "small.exe"}));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.find("DELTA="), std::string::npos);
    EXPECT_NE(run.err.find("saves less than 256 KiB"), std::string::npos) << run.err;

    // Names the server path cannot carry as they are, and files that do not rebuild it.
    WriteFile(dir / "changed.exe", Installer(600 * 1024, 24));
    std::filesystem::create_directories(dir / "names");
    for (const char* name : {"a b.zst", "p$.zst", "pätch.zst"})
        std::filesystem::copy_file(dir / "p1.zst", dir / "names/" + std::string(name));
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             with({"--delta", dir / "old.exe:" + dir / "names/a b.zst", dir / "new.exe"}),
             with({"--delta", dir / "old.exe:" + dir / "names/p$.zst", dir / "new.exe"}),
             with({"--delta", dir / "old.exe:" + dir / "names/pätch.zst", dir / "new.exe"}),
             with({"--delta", dir / "old.exe:" + dir / "names/..", dir / "new.exe"}),
             with({"--delta", dir / "p1.zst", dir / "new.exe"}),
             with({"--delta", dir / "old.exe:" + dir / "p1.zst", dir / "changed.exe"}),
             with({"--packed", dir / "p1.zst", dir / "new.exe"})}) {
        ToolRun refused = Publish(args);
        EXPECT_EQ(refused.status, 1) << args[args.size() - 2];
        EXPECT_EQ(Lines(refused.err), 1u) << refused.err;
        EXPECT_EQ(refused.out, "");
    }
}

}  // namespace
