#include "screens/ScreenDriver.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QRadioButton>
#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "platform/Autopilot.h"
#include "platform/Transcript.h"
#include "screens/ListBox.h"
#include "screens/ScreenFrame.h"
#include "screens/StaticLink.h"

namespace Presentation {

namespace {
// Numbered controls visible on the screen (also before it is shown), in id order.
std::vector<QWidget*> NumberedControls(const QWidget* screen) {
    std::vector<std::pair<int, QWidget*>> found;
    for (QWidget* child : screen->findChildren<QWidget*>()) {
        bool numbered = false;
        const int id = child->objectName().toInt(&numbered);
        if (numbered && child->isVisibleTo(screen)) found.emplace_back(id, child);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<QWidget*> controls;
    for (auto& [id, control] : found) controls.push_back(control);
    return controls;
}
// TESSRA_SWM_SCREENSHOTS=DIR keeps a picture of every screen shown, as
// NN-<ScreenClass>.png; numbered by what the folder holds so that several
// runs into one folder keep their order.
void SaveScreenshot(QWidget* screen, const std::string& name) {
    const char* folder = std::getenv("TESSRA_SWM_SCREENSHOTS");
    if (!folder || !*folder) return;
    QDir dir(QString::fromLocal8Bit(folder));
    if (!dir.mkpath(".")) return;
    const int number = static_cast<int>(dir.entryList({"*.png"}, QDir::Files).size()) + 1;
    const QString file =
        QString("%1-%2.png").arg(number, 2, 10, QChar('0')).arg(QString::fromStdString(name));
    screen->grab().save(dir.filePath(file));
}
}  // namespace

ScreenDriver::ScreenDriver(ScreenFrame* screen) : QObject(screen), screen_(screen) {}

nlohmann::json ScreenDriver::Texts(const QWidget* screen) {
    nlohmann::json texts = nlohmann::json::object();
    for (QWidget* control : NumberedControls(screen)) {
        const std::string id = control->objectName().toStdString();
        if (auto* label = qobject_cast<QLabel*>(control)) {
            if (!label->pixmap().isNull()) continue;  // the banner has no text
            texts[id] = label->text().toStdString();
        } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
            texts[id] = button->text().toStdString();
        }
    }
    return texts;
}

nlohmann::json ScreenDriver::Lists(const QWidget* screen) {
    nlohmann::json lists = nlohmann::json::object();
    for (QWidget* control : NumberedControls(screen))
        if (auto* list = qobject_cast<ListBox*>(control))
            lists[control->objectName().toStdString()] = list->Lines();
    return lists;
}

nlohmann::json ScreenDriver::Checked(const QWidget* screen) {
    nlohmann::json checked = nlohmann::json::array();
    for (QWidget* control : NumberedControls(screen)) {
        auto* button = qobject_cast<QAbstractButton*>(control);
        if (button && button->isCheckable() && button->isChecked())
            checked.push_back(control->objectName().toStdString());
    }
    return checked;
}

bool ScreenDriver::Press(ScreenFrame* screen, const QString& id) {
    bool numbered = false;
    const int number = id.toInt(&numbered);
    QWidget* control = numbered ? screen->Control(number) : nullptr;
    if (!control || !control->isVisibleTo(screen) || !control->isEnabled()) return false;
    if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        button->click();
        return true;
    }
    if (auto* link = qobject_cast<CStaticLink*>(control)) {
        link->Open();
        return true;
    }
    return false;
}

void ScreenDriver::Shown() {
    if (Sys::Transcript::Enabled()) {
        Sys::Transcript::Write("screen", {{"screen", screen_->ScreenName()},
                                          {"texts", Texts(screen_)},
                                          {"lists", Lists(screen_)},
                                          {"checked", Checked(screen_)}});
    }
    SaveScreenshot(screen_, screen_->ScreenName());
    Sys::Autopilot* pilot = Sys::Autopilot::Current();
    if (!pilot) return;
    actions_ = pilot->Take(screen_->ScreenName()).actions;
    connect(screen_, &ScreenFrame::bytesArrived, this, &ScreenDriver::OnBytes);
    connect(screen_, &ScreenFrame::workerEnded, this, &ScreenDriver::OnWorkerEnded);
    QMetaObject::invokeMethod(this, &ScreenDriver::PressNext, Qt::QueuedConnection);
}

void ScreenDriver::Ended(int result) {
    if (!Sys::Transcript::Enabled()) return;
    Sys::Transcript::Write(
        "result",
        {{"screen", screen_->ScreenName()}, {"result", result}, {"texts", Texts(screen_)}});
}

void ScreenDriver::PressNext() {
    if (screen_->HasEnded()) return;
    const std::string name = screen_->ScreenName();
    if (next_ >= actions_.size()) {
        // A step that leaves its screen open would wait forever.
        if (!waiting_) Sys::Autopilot::Abort(name, "the screen is still open after its step");
        return;
    }
    const std::string action = actions_[next_++];
    if (action == "wait") {
        waiting_ = true;
        return;
    }
    if (auto at = action.find('@'); at != std::string::npos) {
        const std::string bytes = action.substr(at + 1);
        if (at == 0 || bytes.empty() ||
            !std::all_of(bytes.begin(), bytes.end(),
                         [](unsigned char c) { return std::isdigit(c) != 0; }))
            Sys::Autopilot::Abort(name, "cannot read the action \"" + action + "\"");
        pressAtBytesId_ = QString::fromStdString(action.substr(0, at));
        pressAtBytes_ = std::stoll(bytes);
        waiting_ = true;
        return;
    }
    if (!Press(screen_, QString::fromStdString(action)))
        Sys::Autopilot::Abort(name, "no control " + action + " to press");
    QMetaObject::invokeMethod(this, &ScreenDriver::PressNext, Qt::QueuedConnection);
}

void ScreenDriver::PressLater(const QString& id) {
    QMetaObject::invokeMethod(
        this,
        [this, id] {
            if (screen_->HasEnded()) return;
            if (!Press(screen_, id))
                Sys::Autopilot::Abort(screen_->ScreenName(),
                                      "no control " + id.toStdString() + " to press");
        },
        Qt::QueuedConnection);
}

void ScreenDriver::OnBytes(qint64 total) {
    if (pressAtBytes_ < 0 || pressedAtBytes_ || total < pressAtBytes_) return;
    pressedAtBytes_ = true;
    PressLater(pressAtBytesId_);
}

void ScreenDriver::OnWorkerEnded(bool finishedRecord) {
    // A worker that stopped without its finished record leaves the screen
    // open for good: cancel it, as a user would.
    if (!finishedRecord && waiting_ && !pressedAtBytes_) {
        pressedAtBytes_ = true;
        PressLater("2");
    }
}

}  // namespace Presentation
