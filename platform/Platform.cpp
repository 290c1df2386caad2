#include <atomic>
#include <cstdio>

#include "platform/LinuxPlatform.h"
#include "platform/Transcript.h"

namespace Sys {

namespace {
std::atomic<Platform*> g_installed{nullptr};
}

LinuxPlatform& Linux() {
    static LinuxPlatform platform;
    return platform;
}

Platform& Current() {
    Platform* p = g_installed.load();
    return p ? *p : Linux();
}

void Install(Platform* platform) { g_installed.store(platform); }

void LinuxPlatform::SetMessageHandler(MessageHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    messageHandler_ = std::move(handler);
}

void LinuxPlatform::ShowMessage(const std::string& text, const std::string& title,
                                MessageIcon icon) {
    Transcript::Write("message", {{"title", title}, {"text", text}});
    // Under the autopilot every message box is answered OK by itself.
    if (std::getenv("TESSRA_SWM_AUTOPILOT")) return;
    MessageHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handler = messageHandler_;
    }
    if (handler) {
        handler(text, title, icon);
    } else {
        std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
    }
}

void LinuxPlatform::SetNotifyHandler(NotifyHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    notifyHandler_ = std::move(handler);
}

void LinuxPlatform::Notify(const std::string& text) {
    Transcript::Write("notify", {{"text", text}});
    NotifyHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handler = notifyHandler_;
    }
    if (handler) handler(text);
}

}  // namespace Sys
