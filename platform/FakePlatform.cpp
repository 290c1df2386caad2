#include "platform/FakePlatform.h"

namespace Sys {

namespace {
// Ends when the fake process is gone from the list; a started program ends at once.
class FakeHandle : public WaitHandle {
  public:
    FakeHandle(FakePlatform* owner, uint32_t pid) : owner_(owner), pid_(pid) {}
    bool Wait(int) override { return !owner_ || !owner_->Running(pid_); }
    uint32_t Pid() const override { return pid_; }

  private:
    FakePlatform* owner_;
    uint32_t pid_;
};
}  // namespace

std::unique_ptr<WaitHandle> FakePlatform::OpenProcess(uint32_t pid) {
    if (!Running(pid)) return nullptr;
    return std::make_unique<FakeHandle>(this, pid);
}

std::unique_ptr<WaitHandle> FakePlatform::Start(const StartRequest& request) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        starts.push_back(request);
    }
    if (!startSucceeds) return nullptr;
    return std::make_unique<FakeHandle>(nullptr, 99999);
}

}  // namespace Sys
