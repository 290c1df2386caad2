#include "screens/StaticLink.h"

#include <QEvent>
#include <QMouseEvent>

#include "platform/Platform.h"
#include "screens/WebAddresses.h"

namespace Presentation {

const QColor CStaticLink::kUnvisitedColor(74, 104, 9);
const QColor CStaticLink::kVisitedColor(74, 104, 9);

CStaticLink::CStaticLink(int id, const QString& text, QWidget* parent, const QString& target)
    : QLabel(text, parent), target_(target), color_(kUnvisitedColor) {
    setObjectName(QString::number(id));
    setCursor(Qt::PointingHandCursor);
    setTextFormat(Qt::PlainText);
    ApplyLook();
}

void CStaticLink::Open() {
    if (target_.isEmpty()) {
        bool numbered = false;
        const int id = objectName().toInt(&numbered);
        auto entry = numbered ? StringTableEntry(id) : std::nullopt;
        target_ = entry ? QString::fromStdString(*entry) : text();
    }
    if (target_.isEmpty()) return;
    if (!Sys::Current().OpenUrl(target_.toStdString())) {
        Sys::Current().Beep();
        return;
    }
    color_ = kVisitedColor;
    ApplyLook();
    update();
}

void CStaticLink::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        Open();
        event->accept();
        return;
    }
    QLabel::mousePressEvent(event);
}

void CStaticLink::changeEvent(QEvent* event) {
    // The screen sets its body font on the link; the link keeps it underlined.
    if (event->type() == QEvent::FontChange && !font().underline()) ApplyLook();
    QLabel::changeEvent(event);
}

void CStaticLink::ApplyLook() {
    if (!font().underline()) {
        QFont underlined = font();
        underlined.setUnderline(true);
        setFont(underlined);
    }
    QPalette colours = palette();
    colours.setColor(QPalette::WindowText, color_);
    setPalette(colours);
}

}  // namespace Presentation
