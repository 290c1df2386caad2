#pragma once
// tessra-publish release and rollout: a whole release into an update tree in
// one command, and the later changes to its staged rollout. Each returns an
// empty text on success, else one line saying why nothing (more) was done.

#include <ostream>
#include <string>
#include <vector>

namespace Publish {

struct ReleaseRequest {
    std::string tree;
    std::string product;
    std::string year;
    std::string version;
    std::string installer;
    std::string name;                         // the installer's file name on the server
    std::vector<std::string> installed = {};  // empty: every version folder in the tree
    std::string message = {};
    std::string keyPath = {};                 // empty: unsigned
    std::vector<std::string> deltaFrom = {};  // earlier installers to patch from
    bool packed = false;
    std::string rolloutHours = {};  // empty: offered to all at once
    bool dryRun = false;
};

// Puts the installer, its patches and packed frame, and then the manifests
// into ROOT/updates/YEAR/win/CODE/INSTALLED/ for every installed version, and
// an up-to-date manifest into the folder of the version itself. Everything is
// written under temporary names first and only then renamed, a folder's
// manifest after its files, so a run cut short leaves every folder as it was
// (or, within the last renames, complete) and the same command finishes it.
// The plan goes to `out`, also for a dry run, which writes nothing.
std::string Release(const ReleaseRequest& request, std::ostream& out);

enum class RolloutChange { Pause, Resume, Hours };
struct RolloutRequest {
    std::string tree;
    std::string product;
    RolloutChange change = RolloutChange::Pause;
    std::string hours = {};    // for Hours
    std::string year = {};     // empty: every year in the tree
    std::string keyPath = {};  // needed for signed manifests
};

// Rewrites, re-signs and renames into place every manifest of the product's
// current release (the highest VERSION in the tree) that carries a ROLLOUT line.
// Pausing sets PAUSED to now; resuming moves START on by the time paused, so
// the share offered goes on from where it stopped.
std::string ChangeRollout(const RolloutRequest& request, std::ostream& out);

}  // namespace Publish
