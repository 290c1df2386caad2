#pragma once
// Helpers of the screen tests: entries with products, a fake platform in a
// temporary folder, and answering a nested modal screen from a timer.

#include <QApplication>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "data/Manifest.h"
#include "platform/FakePlatform.h"
#include "screens/ScreenFrame.h"
#include "tests/support/TestFiles.h"

namespace GuiTest {

// Update entries that own their products (no catalogue needed).
class Entries {
  public:
    Data::UpdateEntry* Add(const std::string& code, const std::string& name, int32_t installed,
                           int32_t offered, int32_t size, const std::string& message = {}) {
        const Data::ProductInfo* product = nullptr;
        if (!code.empty() || !name.empty()) {
            products_.push_back(std::make_unique<Data::ProductInfo>(Data::ProductInfo{code, name}));
            product = products_.back().get();
        }
        auto entry = std::make_unique<Data::UpdateEntry>();
        entry->product = product;
        entry->year = 2007;
        entry->edition = 1;
        entry->installedVersion = installed;
        entry->offeredVersion = offered;
        entry->size = size;
        entry->message = message;
        entries_.push_back(std::move(entry));
        return entries_.back().get();
    }

  private:
    std::vector<std::unique_ptr<Data::ProductInfo>> products_;
    std::vector<std::unique_ptr<Data::UpdateEntry>> entries_;
};

// A fake platform whose folders lie in a fresh temporary folder; installed
// for the lifetime of the object.
class ScopedPlatform {
  public:
    ScopedPlatform() {
        root_ = dir_.path().toStdString();
        fake.appData = root_ + "/appdata";
        fake.commonAppData = root_ + "/common";
        fake.currentFolder = root_ + "/cwd";
        fake.tempFolder = root_ + "/temp";
        std::filesystem::create_directories(fake.appData + "/Tessra/2007");
        std::filesystem::create_directories(fake.currentFolder + "/Update");
        fake.commandLine = "/opt/tessra/tessra-swm /tmp/download.cfg /N updates.example";
        Sys::Install(&fake);
    }
    ~ScopedPlatform() { Sys::Install(nullptr); }
    const std::string& Root() const { return root_; }

    Sys::FakePlatform fake;

  private:
    QTemporaryDir dir_;
    std::string root_;
};

using TestSupport::ReadFile;
using TestSupport::WriteFile;

template <class T>
T* Find(QWidget* screen, int id) {
    return screen->findChild<T*>(QString::number(id));
}

inline QString Text(QWidget* screen, int id) {
    QLabel* label = Find<QLabel>(screen, id);
    return label ? label->text() : QStringLiteral("<missing %1>").arg(id);
}

inline bool Shown(QWidget* screen, int id) {
    QWidget* control = Find<QWidget>(screen, id);
    return control && control->isVisibleTo(screen);
}

// Waits (from a timer) for a modal screen of class T other than `except` to
// become active, then hands it to `answer`. Returns the timer; it stops itself.
template <class T>
QTimer* AnswerModal(std::function<void(T*)> answer, QWidget* except = nullptr) {
    auto* timer = new QTimer(qApp);
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, answer, except] {
        auto* modal = qobject_cast<T*>(QApplication::activeModalWidget());
        if (!modal || modal == except || !modal->isVisible()) return;
        timer->stop();
        timer->deleteLater();
        answer(modal);
    });
    timer->start();
    return timer;
}

// Runs `act` on the screen once its exec() loop runs, then returns exec()'s result.
inline int ExecWith(Presentation::ScreenFrame& screen, std::function<void()> act) {
    QTimer::singleShot(0, &screen, act);
    return screen.exec();
}

}  // namespace GuiTest
