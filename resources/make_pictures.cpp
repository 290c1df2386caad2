// Draws every picture the screens use: the two banners and the picture-button
// sets, each also at twice the size ("@2x") for screens of a device pixel
// ratio of 2; and the program's icon at the sizes of an icon theme. The PNGs
// in resources/pictures/ and resources/icons/ are its output; run
// `cmake --build <dir> --target pictures` to draw them again.

#include <QDir>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>
#include <functional>

namespace {

const QColor kBandTop(74, 74, 74);
const QColor kBandBottom(40, 40, 40);
const QColor kGreen(122, 170, 42);
const QColor kGreenLight(196, 226, 120);
const QColor kGreenDark(86, 128, 22);
const QColor kCaption(28, 40, 8);

QFont PictureFont(int pixels, bool bold) {
    QFont font("DejaVu Sans");
    font.setPixelSize(pixels);
    font.setBold(bold);
    font.setHintingPreference(QFont::PreferFullHinting);
    return font;
}

bool Save(const QImage& image, const QString& dir, const QString& name) {
    const QString path = dir + "/" + name;
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

void DrawBand(QPainter& p, int width, int height) {
    QLinearGradient band(0, 0, 0, height);
    band.setColorAt(0, kBandTop);
    band.setColorAt(1, kBandBottom);
    p.fillRect(0, 0, width, height, band);
    // A thin green rule along the bottom edge ties the band to the buttons.
    p.fillRect(0, height - 2, width, 2, kGreenDark);
    // The green square at the left end.
    const int side = height - 14;
    QRectF square(7, 6, side, side);
    QLinearGradient fill(square.topLeft(), square.bottomLeft());
    fill.setColorAt(0, kGreenLight);
    fill.setColorAt(1, kGreen);
    p.setPen(QPen(kGreenDark, 1));
    p.setBrush(fill);
    p.drawRect(square.adjusted(0.5, 0.5, -0.5, -0.5));
}

// An empty picture of `size` logical pixels at `scale` device pixels each; a
// painter on it draws in logical pixels.
QImage Canvas(QSize size, int scale) {
    QImage image(size * scale, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::transparent);
    return image;
}

QImage Banner(int width, int height, bool logo, int scale) {
    QImage image = Canvas(QSize(width, height), scale);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    DrawBand(p, width, height);
    if (logo) {
        // The word mark, with a small green arc over its first letter.
        const QFont font = PictureFont(22, true);
        p.setFont(font);
        QFontMetrics metrics(font);
        const QString word = "Tessra";
        const int textWidth = metrics.horizontalAdvance(word);
        const int x = width - textWidth - 14;
        const int baseline = (height - 2 + metrics.ascent() - metrics.descent()) / 2;
        p.setPen(QColor(245, 245, 245));
        p.drawText(x, baseline, word);
        QPen arc(kGreenLight, 2.5);
        arc.setCapStyle(Qt::RoundCap);
        p.setPen(arc);
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(x - 12, baseline - metrics.ascent() - 2, 24, 18), 30 * 16, 120 * 16);
        p.setPen(Qt::NoPen);
        p.setBrush(kGreen);
        p.drawEllipse(QPointF(x - 8, baseline - 3), 3, 3);
    }
    return image;
}

enum class State { Normal, Pressed, Focused, Disabled };

QImage Button(QSize size, const QString& caption, bool arrow, State state, int scale) {
    QImage image = Canvas(size, scale);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    const QRectF pill = QRectF(0, 0, size.width(), size.height()).adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = pill.height() / 2;
    QLinearGradient fill(0, 0, 0, size.height());
    QColor border = kGreenDark;
    QColor text = kCaption;
    switch (state) {
        case State::Normal:
        case State::Focused:
            fill.setColorAt(0, kGreenLight);
            fill.setColorAt(0.5, QColor(160, 204, 80));
            fill.setColorAt(1, kGreen);
            break;
        case State::Pressed:
            fill.setColorAt(0, kGreen);
            fill.setColorAt(1, QColor(150, 196, 70));
            border = QColor(60, 96, 12);
            break;
        case State::Disabled:
            fill.setColorAt(0, QColor(222, 226, 214));
            fill.setColorAt(1, QColor(190, 196, 182));
            border = QColor(150, 156, 142);
            text = QColor(128, 132, 122);
            break;
    }
    p.setPen(QPen(border, 1));
    p.setBrush(fill);
    p.drawRoundedRect(pill, radius, radius);
    // A soft highlight on the upper half makes the pill look rounded.
    if (state != State::Disabled) {
        QRectF shine = pill.adjusted(radius / 2, 2, -radius / 2, -pill.height() / 2);
        QLinearGradient gloss(shine.topLeft(), shine.bottomLeft());
        gloss.setColorAt(0, QColor(255, 255, 255, state == State::Pressed ? 40 : 110));
        gloss.setColorAt(1, QColor(255, 255, 255, 0));
        p.setPen(Qt::NoPen);
        p.setBrush(gloss);
        p.drawRoundedRect(shine, shine.height() / 2, shine.height() / 2);
    }

    // Largest caption size that leaves room at both rounded ends.
    const int arrowWidth = arrow ? 12 : 0;
    int pixels = 13;
    QFont font = PictureFont(pixels, true);
    while (pixels > 9 &&
           QFontMetrics(font).horizontalAdvance(caption) + arrowWidth > size.width() - 24) {
        font = PictureFont(--pixels, true);
    }
    p.setFont(font);
    QFontMetrics metrics(font);
    const int captionWidth = metrics.horizontalAdvance(caption) + arrowWidth;
    const qreal shift = state == State::Pressed ? 1 : 0;
    const qreal x = (size.width() - captionWidth) / 2.0 + shift;
    const qreal baseline = (size.height() + metrics.ascent() - metrics.descent()) / 2.0 + shift;
    p.setPen(text);
    p.drawText(QPointF(x, baseline), caption);
    if (arrow) {
        const qreal ax = x + metrics.horizontalAdvance(caption) + 5;
        const qreal cy = size.height() / 2.0 + shift;
        QPainterPath head;
        head.moveTo(ax, cy - 4.5);
        head.lineTo(ax + 6, cy);
        head.lineTo(ax, cy + 4.5);
        head.closeSubpath();
        p.setPen(Qt::NoPen);
        p.setBrush(text);
        p.drawPath(head);
    }
    if (state == State::Focused) {
        QPen dots(kCaption, 1, Qt::DotLine);
        p.setPen(dots);
        p.setBrush(Qt::NoBrush);
        p.setRenderHint(QPainter::Antialiasing, false);
        p.drawRect(QRect(9, 4, size.width() - 19, size.height() - 9));
    }
    return image;
}

QImage Icon(int side) {
    QImage image = Canvas(QSize(side, side), 1);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const QRectF frame(0.5, 0.5, side - 1, side - 1);
    QLinearGradient band(0, 0, 0, side);
    band.setColorAt(0, kBandTop);
    band.setColorAt(1, kBandBottom);
    p.setPen(QPen(kGreenDark, 1));
    p.setBrush(band);
    p.drawRoundedRect(frame, side / 6.0, side / 6.0);
    const qreal inset = side * 0.18;
    QRectF square = frame.adjusted(inset, inset, -inset, -inset);
    QLinearGradient fill(square.topLeft(), square.bottomLeft());
    fill.setColorAt(0, kGreenLight);
    fill.setColorAt(1, kGreen);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawRect(square);
    QFont font = PictureFont(static_cast<int>(side * 0.5), true);
    p.setFont(font);
    p.setPen(kCaption);
    p.drawText(square, Qt::AlignCenter, "T");
    return image;
}

struct ButtonSet {
    const char* file;
    const char* caption;
    QSize size;
    bool arrow;
};

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: make_pictures PICTURES-FOLDER ICONS-FOLDER\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    const QString iconDir = QString::fromLocal8Bit(argv[2]);
    QDir().mkpath(dir);
    QDir().mkpath(iconDir);

    // name.png at scale 1, name@2x.png at scale 2: Qt's own naming for such pairs.
    const auto saveBoth = [&](const QString& name, const std::function<QImage(int)>& draw) {
        const bool one = Save(draw(1), dir, name + ".png");
        return Save(draw(2), dir, name + "@2x.png") && one;
    };
    bool ok = saveBoth("banner", [](int scale) { return Banner(467, 42, true, scale); });
    ok = saveBoth("banner-small", [](int scale) { return Banner(344, 30, false, scale); }) && ok;
    for (int side : {16, 24, 32, 48, 64, 128, 256})
        ok = Save(Icon(side), iconDir, QString("tessra-swm-%1.png").arg(side)) && ok;

    const ButtonSet sets[] = {
        {"cancel", "Cancel", {84, 26}, false},
        {"next", "Next", {90, 26}, true},
        {"close", "Close", {90, 26}, false},
        {"finish", "Finish", {83, 26}, false},
        {"troubleshooting", "Troubleshooting", {130, 26}, false},
        {"try-again", "Try Again", {83, 26}, false},
        {"update-center", "Update Center", {130, 26}, false},
        {"resume", "Resume", {85, 26}, false},
    };
    const struct {
        State state;
        const char* suffix;
    } states[] = {{State::Normal, "normal"},
                  {State::Pressed, "pressed"},
                  {State::Focused, "focused"},
                  {State::Disabled, "disabled"}};
    for (const ButtonSet& set : sets) {
        for (const auto& s : states) {
            const QString name = QString("button-%1-%2").arg(set.file, s.suffix);
            ok = saveBoth(name,
                          [&](int scale) {
                              return Button(set.size, set.caption, set.arrow, s.state, scale);
                          }) &&
                 ok;
        }
    }
    return ok ? 0 : 1;
}
