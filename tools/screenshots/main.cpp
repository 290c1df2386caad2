// Renders every screen of the Software Manager, in each of its variants, to
// PNG files (offscreen), with a plain title bar that shows the window title.
//
//   tessra-screenshots DIR

#include <QApplication>
#include <QDir>
#include <QPainter>
#include <QTemporaryDir>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "data/DownloadList.h"
#include "data/Manifest.h"
#include "download/UpdateAddress.h"
#include "platform/LinuxPlatform.h"
#include "screens/AllUpdsAvailDlg.h"
#include "screens/ConnIssueDlg.h"
#include "screens/DLMgrDlg.h"
#include "screens/FinishedDlg.h"
#include "screens/NoNetworkDlg.h"
#include "screens/NoUpdatesAvailDlg.h"
#include "screens/ResumeCancelDlg.h"
#include "screens/UpdatesAvailableDlg.h"
#include "screens/WelcomeDlg.h"

using namespace Presentation;

namespace {

const char* const kUpdateCommandLine =
    "/opt/tessra/tessra-swm /home/user/.local/share/Tessra/2007/download.cfg /N "
    "updates.tessra.example";
const char* const kPurchaseCommandLine =
    "/opt/tessra/tessra-swm /purchase http://updates.tessra.example/states/2007/CA.exe";

// Entries as the update flow makes them from the manifests.
class Entries {
  public:
    Data::UpdateEntry* Add(const char* code, int installed, int offered, int size,
                           const std::string& message = std::string()) {
        auto entry = std::make_unique<Data::UpdateEntry>();
        entry->product = catalog_.FindProduct(code);
        entry->year = 2007;
        entry->edition = 4;
        entry->installedVersion = installed;
        entry->offeredVersion = offered;
        entry->size = size;
        entry->message = message;
        owned_.push_back(std::move(entry));
        return owned_.back().get();
    }

  private:
    Data::ProductCatalog catalog_;
    std::vector<std::unique_ptr<Data::UpdateEntry>> owned_;
};

// The client area under a plain title bar with the icon and the title.
QImage Framed(QWidget& screen) {
    const QPixmap client = screen.grab();
    const int bar = 26;
    QImage image(client.width() + 2, client.height() + bar + 1, QImage::Format_RGB32);
    image.fill(QColor(60, 60, 60));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(1, 1, image.width() - 2, bar - 1, QColor(228, 228, 228));
    screen.windowIcon().paint(&p, QRect(6, 5, 16, 16));
    QFont font("DejaVu Sans");
    font.setPixelSize(12);
    font.setBold(true);
    p.setFont(font);
    p.setPen(QColor(40, 40, 40));
    p.drawText(QRect(28, 1, image.width() - 60, bar - 1), Qt::AlignVCenter | Qt::AlignLeft,
               screen.windowTitle());
    // The close box.
    p.setPen(QPen(QColor(70, 70, 70), 1.6));
    const int cx = image.width() - 16, cy = bar / 2;
    p.drawLine(cx - 4, cy - 4, cx + 4, cy + 4);
    p.drawLine(cx - 4, cy + 4, cx + 4, cy - 4);
    p.drawPixmap(1, bar, client);
    return image;
}

bool Render(const QString& dir, const QString& name, ScreenFrame& screen) {
    if (!screen.Prepare()) {
        std::fprintf(stderr, "%s: the screen declined to appear\n", qPrintable(name));
        return false;
    }
    const QString path = dir + "/" + name + ".png";
    if (!Framed(screen).save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

void WriteFile(const std::string& path, int size) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << std::string(static_cast<size_t>(size), 'x');
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Nothing of the user's own data (alert choices) may show in the pictures.
    QTemporaryDir scratch;
    qputenv("TESSRA_APPDATA", QDir(scratch.path()).filePath("appdata").toLocal8Bit());
    qputenv("TESSRA_COMMON_APPDATA", QDir(scratch.path()).filePath("common").toLocal8Bit());
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: tessra-screenshots DIR\n");
        return 2;
    }
    const QString dir = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    if (!QDir().mkpath(dir)) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }
    const QString originalFolder = QDir::currentPath();
    QDir::setCurrent(scratch.path());
    Sys::Linux().SetCommandLine(kUpdateCommandLine);

    Entries entries;
    const std::string expected = "Next update expected January 18, 2008.";
    const std::string longMessage =
        "The final version of this state module, with every form approved by the state, is "
        "expected in the second week of February 2008.";
    Data::UpdateEntry* federal = entries.Add("us", 3, 4, 1850000);
    Data::UpdateEntry* california = entries.Add("ca", 2, 3, 920000);
    Data::UpdateEntry* help = entries.Add("hlp", 1, 2, 2400000);
    Data::UpdateEntry* newYork = entries.Add("ny", 5, 5, 0, expected);
    Data::UpdateEntry* federalCurrent = entries.Add("us", 4, 4, 0, expected);
    Data::UpdateEntry* californiaCurrent = entries.Add("ca", 3, 3, 0, longMessage);
    Data::UpdateEntry* alert = entries.Add(
        "alert", 0, 12, 0,
        "A correction for Form 8863 (Education Credits) is available: please update before you "
        "file your return electronically.");

    bool ok = true;
    Data::DownloadList check;
    {
        WelcomeDlg screen(check);
        ok = Render(dir, "welcome", screen) && ok;
    }
    {
        Data::EntryList updates{federal};
        Data::EntryList current{newYork, californiaCurrent};
        UpdatesAvailableDlg screen(updates, current);
        ok = Render(dir, "updates-available-one", screen) && ok;
    }
    {
        Data::EntryList updates{federal, california, help};
        Data::EntryList current{newYork};
        UpdatesAvailableDlg screen(updates, current);
        ok = Render(dir, "updates-available-several", screen) && ok;
    }
    {
        Data::EntryList updates{federal, california, help};
        AllUpdsAvailDlg screen(updates);
        ok = Render(dir, "all-updates-available", screen) && ok;
    }
    {
        Data::EntryList updates{federal, california, help};
        DLMgrDlg screen(updates, 4, "", "");
        screen.Prepare();
        screen.RestartClock();
        screen.HandleRecord(std::make_unique<Data::StartDownloadMsg>("", 0, federal->size));
        screen.HandleRecord(std::make_unique<Data::StartDownloadMsg>("", 0, california->size));
        for (int i = 0; i < 100; ++i)
            screen.HandleRecord(std::make_unique<Data::InProgressDownloadMsg>("", 16384));
        ok = Render(dir, "progress-update", screen) && ok;
    }
    {
        Sys::Linux().SetCommandLine(kPurchaseCommandLine);
        Data::UpdateEntry* state = entries.Add("ca", 0, 1, 3400000);
        Data::EntryList updates{state};
        DLMgrDlg screen(updates, 4, "", "");
        ok = Render(dir, "progress-state", screen) && ok;
        ResumeCancelDlg confirm;
        ok = Render(dir, "resume-cancel-purchase", confirm) && ok;
        Sys::Linux().SetCommandLine(kUpdateCommandLine);
    }
    {
        // Complete downloads have the manifest's size exactly.
        WriteFile(InstallerPath(*federal), federal->size);
        WriteFile(InstallerPath(*california), california->size);
        WriteFile(InstallerPath(*help), help->size);
        Data::EntryList updates{federal, california, help};
        FinishedDlg screen(updates);
        ok = Render(dir, "finished-success", screen) && ok;
    }
    {
        WriteFile(InstallerPath(*california), california->size / 2);
        Data::EntryList updates{federal, california, help};
        FinishedDlg screen(updates);
        ok = Render(dir, "finished-failure", screen) && ok;
        WriteFile(InstallerPath(*california), california->size);
    }
    {
        WriteFile(InstallerPath(*help), help->size - 1);
        Data::EntryList updates{federal, california, help};
        FinishedDlg screen(updates);
        ok = Render(dir, "finished-help-files-incomplete", screen) && ok;
    }
    {
        NoNetworkDlg screen(check);
        ok = Render(dir, "no-network", screen) && ok;
    }
    {
        ConnIssueDlg screen;
        ok = Render(dir, "connection-issues", screen) && ok;
    }
    {
        Data::EntryList current{federalCurrent, newYork, californiaCurrent};
        NoUpdatesAvailDlg screen(current);
        ok = Render(dir, "no-updates", screen) && ok;
    }
    {
        Data::EntryList alerts{alert};
        NoUpdatesAvailDlg screen(alerts);
        ok = Render(dir, "alert", screen) && ok;
    }
    {
        ResumeCancelDlg confirm;
        ok = Render(dir, "resume-cancel-update", confirm) && ok;
    }
    QDir::setCurrent(originalFolder);
    return ok ? 0 : 1;
}
