#include "screens/StaticLink.h"

#include <QEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include "platform/Platform.h"
#include "screens/WebAddresses.h"

namespace Presentation {

const QColor CStaticLink::kUnvisitedColor(74, 104, 9);
const QColor CStaticLink::kVisitedColor(74, 104, 9);

CStaticLink::CStaticLink(int id, const QString& text, QWidget* parent, const QString& target)
    : QLabel(text, parent), target_(target), color_(kUnvisitedColor) {
    setObjectName(QString::number(id));
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
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
    // A target without a scheme (the link's own text) is a web address.
    if (!Sys::Current().OpenUrl(OpenableAddress(target_.toStdString()))) {
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

void CStaticLink::keyPressEvent(QKeyEvent* event) {
    const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (plain && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter ||
                  event->key() == Qt::Key_Space)) {
        Open();
        event->accept();
        return;
    }
    QLabel::keyPressEvent(event);
}

void CStaticLink::paintEvent(QPaintEvent* event) {
    QLabel::paintEvent(event);
    if (!hasFocus()) return;
    // The focus rectangle goes round the text, not round the whole control.
    int flags = static_cast<int>(alignment());
    if (wordWrap()) flags |= Qt::TextWordWrap;
    const QRect box = fontMetrics().boundingRect(contentsRect(), flags, text());
    QPainter painter(this);
    painter.setPen(QPen(color_, 1, Qt::DotLine));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(box.adjusted(0, 0, -1, -1).intersected(rect().adjusted(0, 0, -1, -1)));
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
