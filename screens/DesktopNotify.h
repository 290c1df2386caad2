#pragma once
// The platform's notifications as desktop notifications: the freedesktop
// notification service on the session bus. Without a session bus, or without
// a service on it, a notification is only in the transcript.

namespace Presentation {

// Call once after the QApplication exists.
void InstallDesktopNotifications();

}  // namespace Presentation
