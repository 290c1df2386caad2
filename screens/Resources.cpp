#include "screens/Resources.h"

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

QPixmap BannerPicture() {
    EnsureResources();
    return QPixmap(":/pictures/banner.png");
}

QPixmap SmallBannerPicture() {
    EnsureResources();
    return QPixmap(":/pictures/banner-small.png");
}

QIcon WindowIcon() {
    EnsureResources();
    QIcon icon;
    icon.addFile(":/pictures/icon-32.png", QSize(32, 32));
    icon.addFile(":/pictures/icon-48.png", QSize(48, 48));
    return icon;
}

}  // namespace Presentation
