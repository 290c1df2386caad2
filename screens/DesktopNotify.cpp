#include "screens/DesktopNotify.h"

#include <sys/stat.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>
#include <cstdlib>
#include <string>

#include "platform/LinuxPlatform.h"

namespace Presentation {

namespace {

constexpr int kReplyTimeoutMs = 1000;

// Asking Qt for the session bus where none is announced may start one (an
// autolaunch through X11); a run without a bus skips notifications instead.
bool SessionBusAnnounced() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address) return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    return runtime && *runtime && stat((std::string(runtime) + "/bus").c_str(), &st) == 0 &&
           S_ISSOCK(st.st_mode);
}

void SendNotification(const std::string& text) {
    if (!SessionBusAnnounced()) return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.Notifications",
                                                       "/org/freedesktop/Notifications",
                                                       "org.freedesktop.Notifications", "Notify");
    QVariantMap hints{{"desktop-entry", QString("tessra-swm")}};
    call << QString("Tessra Software Manager") << 0u << QString("tessra-swm")
         << QString("Tessra Software Manager") << QString::fromStdString(text) << QStringList()
         << hints << -1;
    // A short wait for the answer: the message is surely out before the
    // program blocks, and a desktop without the service costs nothing.
    bus.call(call, QDBus::Block, kReplyTimeoutMs);
}

}  // namespace

void InstallDesktopNotifications() { Sys::Linux().SetNotifyHandler(&SendNotification); }

}  // namespace Presentation
