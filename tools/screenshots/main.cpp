// Renders every screen of the Software Manager, in each of its variants, to
// PNG files (offscreen), with a plain title bar that shows the window title.
//
//   tessra-screenshots DIR

#include <QApplication>
#include <QDir>
#include <QPainter>
#include <cstdio>

#include "Gallery.h"
#include "screens/ScreenFrame.h"

namespace {

// The client area under a plain title bar with the icon and the title.
QImage Framed(QWidget& screen) {
    const QPixmap client = screen.grab();
    const qreal ratio = client.devicePixelRatio();
    const QSize size = client.deviceIndependentSize().toSize();
    const int bar = 26;
    QImage image(QSize(size.width() + 2, size.height() + bar + 1) * ratio, QImage::Format_RGB32);
    image.setDevicePixelRatio(ratio);
    image.fill(QColor(60, 60, 60));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(1, 1, size.width(), bar - 1, QColor(228, 228, 228));
    screen.windowIcon().paint(&p, QRect(6, 5, 16, 16));
    QFont font("DejaVu Sans");
    font.setPixelSize(12);
    font.setBold(true);
    p.setFont(font);
    p.setPen(QColor(40, 40, 40));
    p.drawText(QRect(28, 1, size.width() - 58, bar - 1), Qt::AlignVCenter | Qt::AlignLeft,
               screen.windowTitle());
    // The close box.
    p.setPen(QPen(QColor(70, 70, 70), 1.6));
    const int cx = size.width() - 14, cy = bar / 2;
    p.drawLine(cx - 4, cy - 4, cx + 4, cy + 4);
    p.drawLine(cx - 4, cy + 4, cx + 4, cy - 4);
    p.drawPixmap(1, bar, client);
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
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
    const bool ok = Gallery::VisitEveryScreen([&](const QString& name, QWidget& screen) {
        const QString path = dir + "/" + name + ".png";
        if (!Framed(screen).save(path, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return false;
        }
        std::printf("%s\n", qPrintable(path));
        return true;
    });
    return ok ? 0 : 1;
}
