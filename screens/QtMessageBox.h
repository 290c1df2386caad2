#pragma once
// The platform's message boxes as QMessageBox: OK button, no owner window,
// the exclamation icon when asked, always on the UI thread (a worker thread
// waits until the user closed the box).

namespace Presentation {

// Call once after the QApplication exists.
void InstallQtMessageBox();

}  // namespace Presentation
