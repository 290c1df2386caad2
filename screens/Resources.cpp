#include "screens/Resources.h"

#include <QFile>
#include <QGuiApplication>
#include <QtGlobal>

// Q_INIT_RESOURCE declares a global function, so it cannot sit inside a namespace.
static void InitPictureResources() { Q_INIT_RESOURCE(resources); }

namespace Presentation {

void EnsureResources() {
    static const bool done = [] {
        InitPictureResources();
        return true;
    }();
    (void)done;
}

QPixmap Picture(const QString& name) {
    EnsureResources();
    const QString path = ":/pictures/" + name;
    // Screens of a device pixel ratio of 2 or more get the picture drawn at twice the size.
    if (qGuiApp && qGuiApp->devicePixelRatio() >= 2) {
        QString doubled = path;
        doubled.insert(doubled.lastIndexOf('.'), "@2x");
        QPixmap sharp(doubled);
        if (!sharp.isNull()) {
            sharp.setDevicePixelRatio(2);
            return sharp;
        }
    }
    return QPixmap(path);
}

QPixmap BannerPicture() { return Picture("banner.png"); }
QPixmap SmallBannerPicture() { return Picture("banner-small.png"); }

QIcon WindowIcon() {
    EnsureResources();
    QIcon icon;
    for (int side : {16, 24, 32, 48, 64, 128, 256})
        icon.addFile(QString(":/icons/tessra-swm-%1.png").arg(side), QSize(side, side));
    return icon;
}

}  // namespace Presentation
