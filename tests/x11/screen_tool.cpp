// x11-screen-tool: what the X11 test sees of the screen.
//
//   x11-screen-tool grab FILE.png
//   x11-screen-tool find-picture PNG...
//   x11-screen-tool find-text TEXT [--font FAMILY PIXELS] [--in X Y W H]
//
// grab saves the whole screen. find-picture finds one of the pictures shown
// pixel for pixel; find-text finds TEXT drawn in the font (by default the
// application font). The finders print "X Y W H" of the first match in
// screen coordinates and exit with 1 when there is none.
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QRect>
#include <QScreen>
#include <cstdio>
#include <optional>

namespace {

QImage GrabScreen() {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return {};
    return screen->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
}

// Exact match of a picture's opaque pixels: the program draws its button
// pictures unscaled.
std::optional<QPoint> FindPicture(const QImage& screen, const QImage& picture) {
    const int w = picture.width(), h = picture.height();
    for (int y = 0; y + h <= screen.height(); ++y) {
        for (int x = 0; x + w <= screen.width(); ++x) {
            bool same = true;
            for (int row = 0; row < h && same; ++row) {
                const auto* a = reinterpret_cast<const QRgb*>(screen.constScanLine(y + row)) + x;
                const auto* b = reinterpret_cast<const QRgb*>(picture.constScanLine(row));
                for (int col = 0; col < w; ++col) {
                    if (qAlpha(b[col]) == 255 && (a[col] & 0xffffff) != (b[col] & 0xffffff)) {
                        same = false;
                        break;
                    }
                }
            }
            if (same) return QPoint(x, y);
        }
    }
    return std::nullopt;
}

bool Ink(QRgb pixel) { return qGray(pixel) < 128; }

// Text is found by its ink (dark pixels on a light ground), which tolerates
// the small differences of antialiasing on another ground or offset.
std::optional<QRect> FindText(const QImage& screen, const QString& text, const QFont& font,
                              QRect area) {
    const QFontMetrics metrics(font);
    const QRect bounds = metrics.boundingRect(text);
    QImage mask(bounds.size() + QSize(2, 2), QImage::Format_RGB32);
    mask.fill(Qt::white);
    {
        QPainter painter(&mask);
        painter.setFont(font);
        painter.setPen(Qt::black);
        painter.drawText(1 - bounds.x(), 1 - bounds.y(), text);
    }
    std::vector<QPoint> ink, ground;
    for (int y = 0; y < mask.height(); ++y)
        for (int x = 0; x < mask.width(); ++x)
            (Ink(mask.pixel(x, y)) ? ink : ground).emplace_back(x, y);
    if (ink.empty()) return std::nullopt;
    const int allowed = static_cast<int>((ink.size() + ground.size()) / 25);

    area = area.intersected(screen.rect());
    int best = allowed + 1;
    QPoint bestAt;
    for (int y = area.top(); y + mask.height() <= area.bottom() + 1; ++y) {
        for (int x = area.left(); x + mask.width() <= area.right() + 1; ++x) {
            int wrong = 0;
            for (const QPoint& p : ink) {
                if (!Ink(screen.pixel(x + p.x(), y + p.y())) && ++wrong >= best) break;
            }
            for (size_t i = 0; i < ground.size() && wrong < best; ++i) {
                if (Ink(screen.pixel(x + ground[i].x(), y + ground[i].y()))) ++wrong;
            }
            if (wrong < best) {
                best = wrong;
                bestAt = QPoint(x, y);
            }
        }
    }
    if (best > allowed) return std::nullopt;
    return QRect(bestAt, mask.size());
}

int Usage() {
    std::fprintf(stderr,
                 "usage: x11-screen-tool grab FILE.png\n"
                 "       x11-screen-tool find-picture PNG...\n"
                 "       x11-screen-tool find-text TEXT [--font FAMILY PIXELS] [--in X Y W H]\n");
    return 2;
}

int Print(const QRect& r) {
    std::printf("%d %d %d %d\n", r.x(), r.y(), r.width(), r.height());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage();
    QGuiApplication app(argc, argv);
    const QString command = QString::fromLocal8Bit(argv[1]);
    // SWM_SCREEN_IMAGE: search a saved picture instead of the screen (to look into a failure).
    const QByteArray saved = qgetenv("SWM_SCREEN_IMAGE");
    const QImage screen =
        saved.isEmpty()
            ? GrabScreen()
            : QImage(QString::fromLocal8Bit(saved)).convertToFormat(QImage::Format_RGB32);
    if (screen.isNull()) {
        std::fprintf(stderr, "x11-screen-tool: cannot grab the screen\n");
        return 2;
    }
    if (command == "grab") return screen.save(QString::fromLocal8Bit(argv[2])) ? 0 : 2;
    if (command == "find-picture") {
        for (int i = 2; i < argc; ++i) {
            const QImage picture =
                QImage(QString::fromLocal8Bit(argv[i])).convertToFormat(QImage::Format_ARGB32);
            if (picture.isNull()) {
                std::fprintf(stderr, "x11-screen-tool: cannot read %s\n", argv[i]);
                return 2;
            }
            if (auto at = FindPicture(screen, picture)) return Print(QRect(*at, picture.size()));
        }
        return 1;
    }
    if (command == "find-text") {
        QFont font = QGuiApplication::font();
        QRect area = screen.rect();
        for (int i = 3; i < argc; ++i) {
            const QString option = QString::fromLocal8Bit(argv[i]);
            if (option == "--font" && i + 2 < argc) {
                font = QFont(QString::fromLocal8Bit(argv[i + 1]));
                font.setPixelSize(atoi(argv[i + 2]));
                i += 2;
            } else if (option == "--in" && i + 4 < argc) {
                area = QRect(atoi(argv[i + 1]), atoi(argv[i + 2]), atoi(argv[i + 3]),
                             atoi(argv[i + 4]));
                i += 4;
            } else {
                return Usage();
            }
        }
        if (auto at = FindText(screen, QString::fromLocal8Bit(argv[2]), font, area))
            return Print(*at);
        return 1;
    }
    return Usage();
}
