#include "screens/InstallRunner.h"

#include <atomic>

namespace Presentation {

namespace {
std::atomic<InstallRunner*> g_runner{nullptr};
}

InstallRunner* CurrentInstallRunner() { return g_runner.load(); }
void SetInstallRunner(InstallRunner* runner) { g_runner.store(runner); }

}  // namespace Presentation
