#include "screens/PictureButton.h"

#include <QPainter>

#include "screens/Resources.h"

namespace Presentation {

namespace {
const char* FileStem(PictureSet set) {
    switch (set) {
        case PictureSet::Cancel:
            return "cancel";
        case PictureSet::Next:
            return "next";
        case PictureSet::Close:
            return "close";
        case PictureSet::Finish:
            return "finish";
        case PictureSet::Troubleshooting:
            return "troubleshooting";
        case PictureSet::TryAgain:
            return "try-again";
        case PictureSet::UpdateCenter:
            return "update-center";
        case PictureSet::Resume:
            return "resume";
    }
    return "cancel";
}
}  // namespace

ButtonPictures LoadButtonPictures(PictureSet set) {
    const QString stem = QString("button-%1-").arg(FileStem(set));
    return {Picture(stem + "normal.png"), Picture(stem + "pressed.png"),
            Picture(stem + "focused.png"), Picture(stem + "disabled.png")};
}

PictureButton::PictureButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {
    setFocusPolicy(Qt::StrongFocus);
    setFlat(true);
}

void PictureButton::SetPictures(PictureSet set) {
    set_ = set;
    pictures_ = LoadButtonPictures(set);
    if (!pictures_.normal.isNull()) setFixedSize(pictures_.normal.deviceIndependentSize().toSize());
    update();
}

void PictureButton::paintEvent(QPaintEvent*) {
    const QPixmap* picture = &pictures_.normal;
    if (!isEnabled())
        picture = &pictures_.disabled;
    else if (isDown())
        picture = &pictures_.pressed;
    else if (hasFocus())
        picture = &pictures_.focused;
    QPainter painter(this);
    if (picture->isNull()) {
        // Without pictures the caption still has to be readable.
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
        painter.drawText(rect(), Qt::AlignCenter, text().remove('&'));
        return;
    }
    painter.drawPixmap(0, 0, *picture);
}

}  // namespace Presentation
