#include "screens/QtMessageBox.h"

#include <QApplication>
#include <QFontDatabase>
#include <QGridLayout>
#include <QMessageBox>
#include <QThread>

#include "platform/LinuxPlatform.h"
#include "screens/Resources.h"

namespace Presentation {

void FitMessageBox(QMessageBox& box) {
    box.setWindowIcon(WindowIcon());
    // Title bars commonly show the title in a bold face beside the window's
    // icon and up to three buttons; without this room the title is shortened.
    QFont titleFont = QFontDatabase::systemFont(QFontDatabase::TitleFont);
    titleFont.setBold(true);
    if (titleFont.pointSizeF() > 0 && titleFont.pointSizeF() < box.font().pointSizeF())
        titleFont.setPointSizeF(box.font().pointSizeF());
    constexpr int kTitleBarExtras = 160;
    const int width =
        QFontMetrics(titleFont).horizontalAdvance(box.windowTitle()) + kTitleBarExtras;
    // The box sizes itself from its layout, so the room goes in as a spacer.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Fixed, QSizePolicy::Minimum),
                      grid->rowCount(), 0, 1, grid->columnCount());
}

namespace {
void ShowOnUiThread(const std::string& text, const std::string& title, Sys::MessageIcon icon) {
    QMessageBox box(
        icon == Sys::MessageIcon::Exclamation ? QMessageBox::Warning : QMessageBox::NoIcon,
        QString::fromStdString(title), QString::fromStdString(text), QMessageBox::Ok);
    box.setObjectName("message");
    FitMessageBox(box);
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
