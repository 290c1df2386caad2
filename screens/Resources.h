#pragma once
// The pictures compiled into the program.

#include <QIcon>
#include <QPixmap>

namespace Presentation {

// Registers the compiled-in resources (needed once, since they live in a static library).
void EnsureResources();
// A picture of resources/pictures by file name, drawn at twice the size where
// the screens have a device pixel ratio of 2 or more (its logical size stays).
QPixmap Picture(const QString& name);
QPixmap BannerPicture();       // 467 x 42, with the logo
QPixmap SmallBannerPicture();  // 344 x 30, without
QIcon WindowIcon();

}  // namespace Presentation
