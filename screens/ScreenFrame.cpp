#include "screens/ScreenFrame.h"

#include <QCheckBox>
#include <QFontMetrics>
#include <QHash>
#include <QKeyEvent>
#include <QLabel>
#include <QRadioButton>
#include <QTimer>
#include <algorithm>
#include <cmath>

#include "screens/ListBox.h"
#include "screens/PictureButton.h"
#include "screens/Resources.h"
#include "screens/ResumeCancelDlg.h"
#include "screens/ScreenDriver.h"
#include "screens/StaticLink.h"

namespace Presentation {

int DluX(int units) { return static_cast<int>(std::lround(units * 1.5)); }
int DluY(int units) { return static_cast<int>(std::lround(units * 1.625)); }
QRect Dlu(int x, int y, int width, int height) {
    return QRect(DluX(x), DluY(y), DluX(width), DluY(height));
}

namespace {
QFont PlainFont(const QString& face, int pixelSize) {
    QFont font{face};
    font.setPixelSize(pixelSize);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    font.setUnderline(false);
    return font;
}
}  // namespace

QFont TemplateFont() {
    // 8 points is an em of 11 pixels on a 96 dpi screen.
    QFont font = PlainFont("MS Sans Serif", 11);
    // Where the template face is missing, a face of like width stands in.
    font.setFamilies({"MS Sans Serif", "Liberation Sans", "Arial"});
    return font;
}

int PixelSizeForCellHeight(const QString& face, int cellHeight) {
    static QHash<QPair<QString, int>, int> known;
    const QPair<QString, int> key(face, cellHeight);
    if (auto found = known.constFind(key); found != known.constEnd()) return *found;
    const auto fits = [&](int size) {
        const QFontMetrics metrics(PlainFont(face, size));
        return metrics.ascent() + metrics.descent() <= cellHeight;
    };
    // Most faces have an em smaller than their cell, so the walk usually goes down.
    int size = std::max(cellHeight, 1);
    if (fits(size)) {
        while (fits(size + 1)) ++size;
    } else {
        while (size > 1 && !fits(size)) --size;
    }
    known.insert(key, size);
    return size;
}

QFont ScreenFont(const char* face, int cellHeight) {
    const QString family = QString::fromLatin1(face);
    return PlainFont(family, PixelSizeForCellHeight(family, cellHeight));
}

ScreenFrame::ScreenFrame(QWidget* parent, int widthDlu, int heightDlu, Banner banner,
                         const QString& title)
    : QDialog(parent), driver_(new ScreenDriver(this)) {
    setWindowTitle(title);
    setWindowIcon(WindowIcon());
    setModal(true);
    setFixedSize(DluX(widthDlu), DluY(heightDlu));
    setFont(TemplateFont());

    // White page and static texts on it; lists and edit parts light grey; black text.
    QPalette colours = palette();
    colours.setColor(QPalette::Window, Qt::white);
    colours.setColor(QPalette::Base, QColor(kListGrey, kListGrey, kListGrey));
    colours.setColor(QPalette::AlternateBase, QColor(kListGrey, kListGrey, kListGrey));
    colours.setColor(QPalette::WindowText, Qt::black);
    colours.setColor(QPalette::Text, Qt::black);
    setPalette(colours);
    setAutoFillBackground(true);

    auto* picture = new QLabel(this);
    picture->setObjectName("1136");
    picture->setPixmap(banner == Banner::Large ? BannerPicture() : SmallBannerPicture());
    picture->setGeometry(QRect(QPoint(0, 0), picture->pixmap().deviceIndependentSize().toSize()));
}

ScreenFrame::~ScreenFrame() = default;

bool ScreenFrame::Prepare() {
    if (!prepared_) {
        prepared_ = true;
        declined_ = !Initialise();
    }
    return !declined_;
}

int ScreenFrame::exec() {
    if (!Prepare()) {
        if (!ended_) {
            ended_ = true;
            OnEnding(2);
            driver_->Ended(2);
        }
        setResult(2);
        return 2;
    }
    return QDialog::exec();
}

void ScreenFrame::done(int result) {
    if (!ended_) {
        ended_ = true;
        OnEnding(result);
        driver_->Ended(result);
    }
    QDialog::done(result);
}

void ScreenFrame::accept() { OnOK(); }
void ScreenFrame::reject() { OnCancel(); }

void ScreenFrame::OnOK() { done(1); }

void ScreenFrame::OnCancel() {
    if (AsksConfirmation()) {
        ResumeCancelDlg confirm(this);
        if (confirm.exec() != 2) return;  // Resume: the screen stays as it was
    }
    done(2);
}

std::string ScreenFrame::ScreenName() const {
    std::string name = metaObject()->className();
    if (auto colons = name.rfind("::"); colons != std::string::npos) name.erase(0, colons + 2);
    return name;
}

QWidget* ScreenFrame::Control(int id) const { return findChild<QWidget*>(QString::number(id)); }

void ScreenFrame::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        // Enter is OK, unless the screen keeps its OK button disabled.
        QWidget* ok = Control(1);
        if (!ok || ok->isEnabled()) OnOK();
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void ScreenFrame::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (shown_) return;
    shown_ = true;
    if (!Prepare()) {
        QTimer::singleShot(0, this, [this] { done(2); });
        return;
    }
    driver_->Shown();
}

QLabel* ScreenFrame::AddText(int id, const QString& text, const QRect& dlu,
                             Qt::Alignment alignment) {
    auto* label = new QLabel(text, this);
    label->setObjectName(QString::number(id));
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setAlignment(alignment);
    label->setGeometry(dlu);
    return label;
}

ListBox* ScreenFrame::AddList(int id, const QRect& dlu, bool tabStop, bool selectable) {
    // The lists' one tab stop lies at 75 dialog units.
    auto* list = new ListBox(id, tabStop ? DluX(75) : 0, selectable, this);
    list->SetTemplateGeometry(dlu);
    return list;
}

CStaticLink* ScreenFrame::AddLink(int id, const QString& text, const QRect& dlu) {
    auto* link = new CStaticLink(id, text, this);
    link->setWordWrap(true);
    link->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    link->setGeometry(dlu);
    return link;
}

PictureButton* ScreenFrame::AddButton(int id, const QString& text, PictureSet pictures, int xDlu,
                                      int yDlu) {
    auto* button = new PictureButton(text, this);
    button->setObjectName(QString::number(id));
    button->move(DluX(xDlu), DluY(yDlu));
    button->SetPictures(pictures);
    if (id == 1) connect(button, &QPushButton::clicked, this, [this] { OnOK(); });
    if (id == 2) connect(button, &QPushButton::clicked, this, [this] { OnCancel(); });
    return button;
}

QRadioButton* ScreenFrame::AddRadio(int id, const QString& text, const QRect& dlu) {
    auto* radio = new QRadioButton(text, this);
    radio->setObjectName(QString::number(id));
    radio->setAutoExclusive(false);  // the screen pairs its radio buttons itself
    radio->setGeometry(dlu);
    return radio;
}

QCheckBox* ScreenFrame::AddCheck(int id, const QString& text, const QRect& dlu) {
    auto* check = new QCheckBox(text, this);
    check->setObjectName(QString::number(id));
    check->setGeometry(dlu);
    return check;
}

void ScreenFrame::CreateFonts(const char* headingFace, int headingCellHeight, const char* bodyFace,
                              int bodyCellHeight) {
    if (headingFace) heading_ = ScreenFont(headingFace, headingCellHeight);
    body_ = ScreenFont(bodyFace, bodyCellHeight);
}

void ScreenFrame::UseHeadingFont(std::initializer_list<int> ids) {
    for (int id : ids)
        if (QWidget* control = Control(id)) control->setFont(heading_);
}

void ScreenFrame::UseBodyFont(std::initializer_list<int> ids) {
    for (int id : ids)
        if (QWidget* control = Control(id)) control->setFont(body_);
}

void ScreenFrame::ShowControls(std::initializer_list<int> ids, bool visible) {
    for (int id : ids)
        if (QWidget* control = Control(id)) control->setVisible(visible);
}

void ScreenFrame::PlaceAfter(int id, int anchorId, int gap) {
    auto* anchor = qobject_cast<QLabel*>(Control(anchorId));
    auto* control = qobject_cast<QLabel*>(Control(id));
    if (!anchor || !control) return;
    const int x = anchor->x() + anchor->fontMetrics().horizontalAdvance(anchor->text()) + gap;
    const int width = control->fontMetrics().horizontalAdvance(control->text()) + 2;
    control->setGeometry(x, anchor->y(), width, control->height());
}

}  // namespace Presentation
