#pragma once
// The platform's message boxes as QMessageBox: OK button, no owner window,
// the exclamation icon when asked, always on the UI thread (a worker thread
// waits until the user closed the box), with the program's icon.

class QMessageBox;

namespace Presentation {

// Gives a box the program's icon and makes it wide enough for its whole title
// in a window manager's title bar (with its icon and buttons).
void FitMessageBox(QMessageBox& box);

// Call once after the QApplication exists.
void InstallQtMessageBox();

}  // namespace Presentation
