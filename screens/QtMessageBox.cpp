#include "screens/QtMessageBox.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include "platform/LinuxPlatform.h"

namespace Presentation {

namespace {
void ShowOnUiThread(const std::string& text, const std::string& title, Sys::MessageIcon icon) {
    QMessageBox box(
        icon == Sys::MessageIcon::Exclamation ? QMessageBox::Warning : QMessageBox::NoIcon,
        QString::fromStdString(title), QString::fromStdString(text), QMessageBox::Ok);
    box.setObjectName("message");
    box.exec();
}
}  // namespace

void InstallQtMessageBox() {
    Sys::Linux().SetMessageHandler(
        [](const std::string& text, const std::string& title, Sys::MessageIcon icon) {
            QCoreApplication* app = QCoreApplication::instance();
            if (!app) return;
            if (QThread::currentThread() == app->thread()) {
                ShowOnUiThread(text, title, icon);
                return;
            }
            // The worker waits here until the user has closed the box.
            QMetaObject::invokeMethod(
                app, [&] { ShowOnUiThread(text, title, icon); }, Qt::BlockingQueuedConnection);
        });
}

}  // namespace Presentation
