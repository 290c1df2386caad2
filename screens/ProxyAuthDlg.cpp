#include "screens/ProxyAuthDlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QThread>

#include "platform/LinuxPlatform.h"
#include "screens/PictureButton.h"

namespace Presentation {

ProxyAuthDlg::ProxyAuthDlg(const std::string& hostPort, bool refused, const std::string& user,
                           QWidget* parent)
    : ScreenFrame(parent, 230, 158, Banner::Small), refused_(refused) {
    AddText(kPrompt,
            QString("The proxy %1 asks for a user name and password.")
                .arg(QString::fromStdString(hostPort)),
            Dlu(8, 23, 214, 22));
    AddText(kRefused, "The proxy refused the user name and password given. Please check them.",
            Dlu(8, 46, 214, 22));
    QLabel* userLabel = AddText(kUserLabel, "&User name:", Dlu(8, 74, 60, 10));
    QLabel* passwordLabel = AddText(kPasswordLabel, "&Password:", Dlu(8, 92, 60, 10));
    userLabel->setTextFormat(Qt::AutoText);  // the "&" marks the shortcut
    passwordLabel->setTextFormat(Qt::AutoText);
    user_ = new QLineEdit(QString::fromStdString(user), this);
    user_->setObjectName(QString::number(kUser));
    user_->setGeometry(Dlu(70, 72, 152, 13));
    password_ = new QLineEdit(this);
    password_->setObjectName(QString::number(kPassword));
    password_->setEchoMode(QLineEdit::Password);
    password_->setGeometry(Dlu(70, 90, 152, 13));
    userLabel->setBuddy(user_);
    passwordLabel->setBuddy(password_);
    AddCheck(kRemember, "&Remember this password", Dlu(70, 108, 152, 12));
    AddButton(1, "Try Again", PictureSet::TryAgain, 105, 138);
    AddButton(2, "Cancel", PictureSet::Cancel, 166, 138);
    // Without a user name there is nothing to try.
    auto enableOk = [this] { Control(1)->setEnabled(!user_->text().isEmpty()); };
    connect(user_, &QLineEdit::textChanged, this, enableOk);
    enableOk();
    setTabOrder(user_, password_);
    setTabOrder(password_, Control(kRemember));
    setTabOrder(Control(kRemember), Control(1));
    setTabOrder(Control(1), Control(2));
}

bool ProxyAuthDlg::Initialise() {
    ShowControls({kRefused}, refused_);
    CreateFonts(nullptr, 0, "Arial", 16);
    UseBodyFont({kPrompt, kRefused});
    // A known user name leaves the password to type.
    (user_->text().isEmpty() ? user_ : password_)->setFocus();
    return true;
}

void ProxyAuthDlg::OnOK() {
    if (user_->text().isEmpty()) return;
    done(1);
}

Sys::ProxyCredentials ProxyAuthDlg::Credentials() const {
    const auto* remember = static_cast<const QCheckBox*>(Control(kRemember));
    return {user_->text().toStdString(), password_->text().toStdString(), remember->isChecked()};
}

namespace {
std::optional<Sys::ProxyCredentials> AskOnUiThread(const std::string& hostPort, bool refused,
                                                   const std::string& user) {
    ProxyAuthDlg dialog(hostPort, refused, user);
    if (dialog.exec() != 1) return std::nullopt;
    return dialog.Credentials();
}
}  // namespace

void InstallProxyCredentialsDialog() {
    Sys::Linux().SetCredentialsHandler(
        [](const std::string& hostPort, bool refused,
           const std::string& user) -> std::optional<Sys::ProxyCredentials> {
            QCoreApplication* app = QCoreApplication::instance();
            if (!app) return std::nullopt;
            if (QThread::currentThread() == app->thread())
                return AskOnUiThread(hostPort, refused, user);
            // The worker waits here until the user has answered.
            std::optional<Sys::ProxyCredentials> answer;
            QMetaObject::invokeMethod(
                app, [&] { answer = AskOnUiThread(hostPort, refused, user); },
                Qt::BlockingQueuedConnection);
            return answer;
        });
}

}  // namespace Presentation
