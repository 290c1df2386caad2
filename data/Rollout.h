#pragma once
// Staged rollout. A manifest's "ROLLOUT=START HOURS [PAUSED]" offers its
// version to a growing share of installations: none at START, all HOURS hours
// later. Each installation has a stable random identity whose hash puts it at
// a fixed place p in [0, 1) of each product's rollout; it is offered the
// version from START + p x HOURS hours on (by PAUSED at the latest while the
// rollout is paused), so an installation once offered stays offered.

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Data {

struct UpdateEntry;

struct Rollout {
    std::time_t start = 0;
    int64_t hours = 0;
    std::optional<std::time_t> paused;
};

inline constexpr std::string_view kRolloutKey = "ROLLOUT";
// Ten years: longer is a typing error, and the arithmetic stays far from overflow.
inline constexpr int64_t kMaxRolloutHours = 87600;

// Nothing for a malformed value: UTC times as EXPIRES writes them, HOURS a
// whole number from 1 to kMaxRolloutHours, nothing else on the line.
std::optional<Rollout> ParseRollout(std::string_view value);
std::string FormatRollout(const Rollout& rollout);

// The first 8 hex digits of SHA-256(identity ":" code in lower case) / 2^32.
double RolloutPlace(std::string_view identity, std::string_view productCode);

// The first second at which the installation at `place` is offered the version.
std::time_t OfferTime(const Rollout& rollout, double place);
bool Offered(const Rollout& rollout, double place, std::time_t now);

// The per-user file "swm-id": one line of 32 lower-case hex digits.
inline constexpr std::string_view kIdentityFile = "swm-id";
// This installation's identity, made from the system's random source (0600,
// written under a new name and renamed) when the file is missing, unreadable
// or malformed. Nothing when the per-user folder cannot be used.
std::optional<std::string> InstallationIdentity();

// The rollout's verdict on one product for this installation.
struct RolloutVerdict {
    double place = 1.0;  // the last place when there is no identity
    std::time_t offeredAt = 0;
    bool offered = true;
};
RolloutVerdict JudgeRollout(const Rollout& rollout, std::string_view productCode,
                            const std::optional<std::string>& identity, std::time_t now);

// Moves the entries of `updates` whose rollout does not yet offer their
// version to this installation into `current` (rebuilt from `all`, keeping
// its order), with a "rollout" transcript event for each judged entry. The
// identity is read or made only when some entry has a rollout.
void HoldBackRollouts(const std::vector<UpdateEntry*>& all, std::vector<UpdateEntry*>& updates,
                      std::vector<UpdateEntry*>& current, std::time_t now);

}  // namespace Data
