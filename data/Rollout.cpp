#include "data/Rollout.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>

#include "data/DataFolders.h"
#include "data/Manifest.h"
#include "data/Sha256.h"
#include "data/SignedText.h"
#include "data/Text.h"
#include "platform/RegularFile.h"
#include "platform/Transcript.h"
#include "platform/TrustedFolder.h"

namespace Data {

namespace {

constexpr size_t kIdentityDigits = 32;

std::vector<std::string_view> Words(std::string_view value) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while ((i = value.find_first_not_of(" \t", i)) != std::string_view::npos) {
        size_t end = value.find_first_of(" \t", i);
        if (end == std::string_view::npos) end = value.size();
        words.push_back(value.substr(i, end - i));
        i = end;
    }
    return words;
}

bool IsIdentity(std::string_view text) {
    return text.size() == kIdentityDigits &&
           text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// The identity in the file, when it holds one line of it.
std::optional<std::string> ReadIdentity(int folder) {
    const int fd = Sys::OpenRegularFileAt(folder, std::string(kIdentityFile), O_RDONLY);
    if (fd < 0) return std::nullopt;
    char buffer[kIdentityDigits + 3];
    size_t got = 0;
    while (got < sizeof buffer) {
        const ssize_t n = ::read(fd, buffer + got, sizeof buffer - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    std::string_view text(buffer, got);
    if (text.ends_with('\n')) text.remove_suffix(1);
    if (!IsIdentity(text)) return std::nullopt;
    return std::string(text);
}

// A new identity under a name of its own, renamed over whatever was there:
// a reader sees the old file or the new one, and a link there is replaced,
// never followed.
std::optional<std::string> MakeIdentity(int folder) {
    std::array<unsigned char, kIdentityDigits / 2 + 4> random{};
    for (size_t got = 0; got < random.size();) {
        const ssize_t n = ::getrandom(random.data() + got, random.size() - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        got += static_cast<size_t>(n);
    }
    const std::string identity = HexOf(random.data(), kIdentityDigits / 2);
    const std::string temp =
        std::string(kIdentityFile) + "." + HexOf(random.data() + kIdentityDigits / 2, 4);
    const int fd = Sys::OpenRegularFileAt(folder, temp, O_WRONLY | O_CREAT | O_EXCL, 0600,
                                          Sys::LinkRule::Refuse);
    if (fd < 0) return std::nullopt;
    bool ok = ::fchmod(fd, 0600) == 0 && Sys::WriteAll(fd, identity + "\n");
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::renameat(folder, temp.c_str(), folder, std::string(kIdentityFile).c_str()) != 0) {
        ::unlinkat(folder, temp.c_str(), 0);
        return std::nullopt;
    }
    return identity;
}

}  // namespace

std::optional<Rollout> ParseRollout(std::string_view value) {
    const std::vector<std::string_view> words = Words(value);
    if (words.size() != 2 && words.size() != 3) return std::nullopt;
    Rollout rollout;
    const std::optional<std::time_t> start = ParseUtcTime(words[0]);
    if (!start || words[1].empty() || words[1].size() > 6 ||
        words[1].find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    rollout.start = *start;
    for (char c : words[1]) rollout.hours = rollout.hours * 10 + (c - '0');
    if (rollout.hours < 1 || rollout.hours > kMaxRolloutHours) return std::nullopt;
    if (words.size() == 3) {
        rollout.paused = ParseUtcTime(words[2]);
        if (!rollout.paused) return std::nullopt;
    }
    return rollout;
}

std::string FormatRollout(const Rollout& rollout) {
    std::string text = FormatUtcTime(rollout.start) + " " + std::to_string(rollout.hours);
    if (rollout.paused) text += " " + FormatUtcTime(*rollout.paused);
    return text;
}

double RolloutPlace(std::string_view identity, std::string_view productCode) {
    const std::string text = std::string(identity) + ":" + ToLower(productCode);
    Sha256 hash;
    hash.Update(text.data(), text.size());
    std::array<unsigned char, kSha256Bytes> digest{};
    if (!hash.Finish(digest)) return 1.0;
    const uint32_t first = (uint32_t{digest[0]} << 24) | (uint32_t{digest[1]} << 16) |
                           (uint32_t{digest[2]} << 8) | uint32_t{digest[3]};
    return first / 4294967296.0;
}

std::time_t OfferTime(const Rollout& rollout, double place) {
    // Rounded up: a whole second `now` is past the exact time only from here on.
    const double seconds = std::ceil(place * static_cast<double>(rollout.hours) * 3600.0);
    return rollout.start + static_cast<std::time_t>(seconds);
}

bool Offered(const Rollout& rollout, double place, std::time_t now) {
    const std::time_t until = rollout.paused && *rollout.paused < now ? *rollout.paused : now;
    return OfferTime(rollout, place) <= until;
}

std::optional<std::string> InstallationIdentity() {
    const std::string path = UserDataPath(kIdentityFile);
    const Sys::TrustedFolder folder = Sys::OpenTrustedFolder(Sys::FolderOf(path), true, 0700);
    if (!folder.Ok()) return std::nullopt;
    if (std::optional<std::string> identity = ReadIdentity(folder.Fd())) return identity;
    return MakeIdentity(folder.Fd());
}

RolloutVerdict JudgeRollout(const Rollout& rollout, std::string_view productCode,
                            const std::optional<std::string>& identity, std::time_t now) {
    RolloutVerdict verdict;
    // Without an identity the installation waits for the whole rollout.
    if (identity) verdict.place = RolloutPlace(*identity, productCode);
    verdict.offeredAt = OfferTime(rollout, verdict.place);
    verdict.offered = Offered(rollout, verdict.place, now);
    return verdict;
}

void HoldBackRollouts(const std::vector<UpdateEntry*>& all, std::vector<UpdateEntry*>& updates,
                      std::vector<UpdateEntry*>& current, std::time_t now) {
    std::optional<std::optional<std::string>> identity;
    std::vector<UpdateEntry*> offered;
    for (UpdateEntry* entry : updates) {
        if (!entry->rollout || !entry->product) {
            offered.push_back(entry);
            continue;
        }
        if (!identity) identity = InstallationIdentity();
        const std::string code = ToLower(entry->product->code);
        const RolloutVerdict verdict = JudgeRollout(*entry->rollout, code, *identity, now);
        Sys::Transcript::Write("rollout", {{"product", code},
                                           {"p", verdict.place},
                                           {"offeredAt", FormatUtcTime(verdict.offeredAt)},
                                           {"paused", entry->rollout->paused.has_value()},
                                           {"identity", identity->has_value()},
                                           {"offered", verdict.offered}});
        if (verdict.offered) offered.push_back(entry);
    }
    if (offered.size() == updates.size()) return;
    updates = std::move(offered);
    current.clear();
    for (UpdateEntry* entry : all)
        if (std::find(updates.begin(), updates.end(), entry) == updates.end())
            current.push_back(entry);
}

}  // namespace Data
