// Every screen in every variant at its template size: each visible text fits
// its control, no list shows a partly cut line, no control reaches past the
// screen's edge or runs into another; the fonts have the cell heights the
// screens ask for; the pictures follow the screen's device pixel ratio.
// Run once at scale 1 and once at scale 2 (QT_SCALE_FACTOR).

#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QRadioButton>
#include <QScrollBar>
#include <QStyleOptionButton>
#include <set>

#include "Gallery.h"
#include "GuiTestSupport.h"
#include "screens/ListBox.h"
#include "screens/PictureButton.h"
#include "screens/Resources.h"
#include "screens/ScreenFrame.h"

using namespace Presentation;

namespace {

QString Describe(const QWidget* control) {
    return QStringLiteral("%1 \"%2\"")
        .arg(control->objectName(),
             qobject_cast<const QLabel*>(control)
                 ? qobject_cast<const QLabel*>(control)->text().left(40)
                 : (qobject_cast<const QAbstractButton*>(control)
                        ? qobject_cast<const QAbstractButton*>(control)->text().left(40)
                        : QString()));
}

QString SizeText(const QSize& size) {
    return QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
}

// Trailing line breaks and blanks draw nothing, so they may run past the control.
QString VisibleText(QString text) {
    while (!text.isEmpty() && text.back().isSpace()) text.chop(1);
    return text;
}

// The rectangle a label's text takes, laid out as the label lays it out, in
// screen coordinates; adds a problem when it does not fit the label.
QRect CheckLabel(const QLabel* label, QStringList& problems) {
    const QString text = VisibleText(label->text());
    if (text.isEmpty()) return QRect();
    const QRect room = label->contentsRect();
    int flags = static_cast<int>(label->alignment()) | Qt::TextHideMnemonic;
    if (label->wordWrap()) flags |= Qt::TextWordWrap;
    const QRect needed = label->fontMetrics().boundingRect(room, flags, text);
    if (needed.width() > room.width() || needed.height() > room.height())
        problems << QStringLiteral("%1 needs %2 but has %3")
                        .arg(Describe(label), SizeText(needed.size()), SizeText(room.size()));
    return needed.intersected(room).translated(label->pos());
}

// Radio buttons and check boxes: the caption on its one line beside the indicator.
QRect CheckCaption(const QAbstractButton* button, QStringList& problems) {
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    const bool radio = qobject_cast<const QRadioButton*>(button) != nullptr;
    const QRect room = button->style()->subElementRect(
        radio ? QStyle::SE_RadioButtonContents : QStyle::SE_CheckBoxContents, &option, button);
    const QRect needed = button->fontMetrics().boundingRect(
        room, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextShowMnemonic, VisibleText(button->text()));
    if (needed.width() > room.width() || needed.height() > room.height())
        problems << QStringLiteral("%1 needs %2 but has %3")
                        .arg(Describe(button), SizeText(needed.size()), SizeText(room.size()));
    return button->geometry();
}

// Every line the list can show lies wholly inside its viewport, scrolled to the
// top and to the bottom, and no line is wider than the viewport.
void CheckList(ListBox* list, QStringList& problems) {
    const QRect viewport = list->viewport()->rect();
    for (int end : {0, 1}) {
        QScrollBar* bar = list->verticalScrollBar();
        bar->setValue(end ? bar->maximum() : bar->minimum());
        for (int row = 0; row < list->count(); ++row) {
            const QRect line = list->visualItemRect(list->item(row));
            if (line.intersects(viewport) && !viewport.contains(line))
                problems << QStringLiteral("list %1 shows line %2 cut (line %3..%4, viewport %5)")
                                .arg(list->objectName())
                                .arg(row)
                                .arg(line.top())
                                .arg(line.bottom())
                                .arg(viewport.height());
        }
    }
    list->verticalScrollBar()->setValue(0);
    for (int row = 0; row < list->count(); ++row)
        if (list->TextRight(row) > viewport.width())
            problems << QStringLiteral("list %1 line %2 \"%3\" needs %4 pixels of %5")
                            .arg(list->objectName())
                            .arg(row)
                            .arg(list->item(row)->text())
                            .arg(list->TextRight(row))
                            .arg(viewport.width());
}

// Everything that does not fit on one screen, one line per problem.
QStringList TextFitProblems(ScreenFrame& screen) {
    QStringList problems;
    struct Ink {
        const QWidget* control;
        QRect rect;
    };
    std::vector<Ink> inks;
    for (QWidget* control : screen.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (!control->isVisibleTo(&screen) || control->objectName().isEmpty()) continue;
        if (!screen.rect().contains(control->geometry()))
            problems << QStringLiteral("%1 at %2,%3 %4 reaches past the screen's edge")
                            .arg(Describe(control))
                            .arg(control->x())
                            .arg(control->y())
                            .arg(SizeText(control->size()));
        QRect ink = control->geometry();
        if (control->objectName() == "1136") continue;  // the banner lies under nothing
        if (auto* label = qobject_cast<QLabel*>(control))
            ink = CheckLabel(label, problems);
        else if (auto* list = qobject_cast<ListBox*>(control))
            CheckList(list, problems);
        else if (qobject_cast<QRadioButton*>(control) || qobject_cast<QCheckBox*>(control))
            ink = CheckCaption(static_cast<QAbstractButton*>(control), problems);
        // A glyph's extent is rounded up to whole pixels: one pixel of it may touch the next text.
        if (!ink.isEmpty()) inks.push_back({control, ink.adjusted(0, 0, -1, -1)});
    }
    for (size_t i = 0; i < inks.size(); ++i)
        for (size_t j = i + 1; j < inks.size(); ++j)
            if (inks[i].rect.intersects(inks[j].rect))
                problems << QStringLiteral("%1 runs into %2")
                                .arg(Describe(inks[i].control), Describe(inks[j].control));
    return problems;
}

}  // namespace

class TextFitTest : public QObject {
    Q_OBJECT

  private slots:
    void fontsHaveTheCellHeightsOfTheScreens_data();
    void fontsHaveTheCellHeightsOfTheScreens();
    void everyScreenFitsItsTexts();
    void picturesFollowTheDevicePixelRatio();
};

void TextFitTest::fontsHaveTheCellHeightsOfTheScreens_data() {
    QTest::addColumn<QString>("face");
    QTest::addColumn<int>("cellHeight");
    QTest::newRow("Verdana 32") << "Verdana" << 32;
    QTest::newRow("Verdana 26") << "Verdana" << 26;
    QTest::newRow("Verdana 16") << "Verdana" << 16;
    QTest::newRow("Arial 16") << "Arial" << 16;
}

void TextFitTest::fontsHaveTheCellHeightsOfTheScreens() {
    QFETCH(QString, face);
    QFETCH(int, cellHeight);
    const QFont font = ScreenFont(qPrintable(face), cellHeight);
    QCOMPARE(font.family(), face);
    const QFontMetrics chosen(font);
    QVERIFY2(chosen.ascent() + chosen.descent() <= cellHeight,
             qPrintable(QStringLiteral("em %1 has a cell of %2")
                            .arg(font.pixelSize())
                            .arg(chosen.ascent() + chosen.descent())));
    QFont larger = font;
    larger.setPixelSize(font.pixelSize() + 1);
    const QFontMetrics next(larger);
    QVERIFY2(next.ascent() + next.descent() > cellHeight,
             qPrintable(QStringLiteral("em %1 still fits").arg(larger.pixelSize())));
    QCOMPARE(PixelSizeForCellHeight(face, cellHeight), font.pixelSize());
}

void TextFitTest::everyScreenFitsItsTexts() {
    std::set<std::string> classes;
    QStringList problems;
    const bool built = Gallery::VisitEveryScreen([&](const QString& name, ScreenFrame& screen) {
        classes.insert(screen.ScreenName());
        // Laid out and painted as the screenshots are, without showing the screen
        // (a shown progress screen would start its download).
        screen.grab();
        QCoreApplication::processEvents();
        for (const QString& problem : TextFitProblems(screen)) problems << name + ": " + problem;
        return true;
    });
    QVERIFY(built);
    const std::set<std::string> every{"WelcomeDlg",   "UpdatesAvailableDlg", "AllUpdsAvailDlg",
                                      "DLMgrDlg",     "FinishedDlg",         "NoNetworkDlg",
                                      "ConnIssueDlg", "NoUpdatesAvailDlg",   "ResumeCancelDlg",
                                      "ProxyAuthDlg"};
    QCOMPARE(classes, every);
    QVERIFY2(problems.isEmpty(), qPrintable("\n" + problems.join('\n')));
}

void TextFitTest::picturesFollowTheDevicePixelRatio() {
    const qreal ratio = qApp->devicePixelRatio() >= 2 ? 2 : 1;
    struct Expected {
        const char* name;
        QPixmap picture;
        QSize size;
    };
    const ButtonPictures cancel = LoadButtonPictures(PictureSet::Cancel);
    const ButtonPictures next = LoadButtonPictures(PictureSet::Next);
    const Expected pictures[] = {
        {"banner", BannerPicture(), {467, 42}},   {"small banner", SmallBannerPicture(), {344, 30}},
        {"Cancel", cancel.normal, {84, 26}},      {"Cancel focused", cancel.focused, {84, 26}},
        {"Next pressed", next.pressed, {90, 26}}, {"Next disabled", next.disabled, {90, 26}},
    };
    for (const Expected& expected : pictures) {
        QVERIFY2(!expected.picture.isNull(), expected.name);
        QCOMPARE(expected.picture.devicePixelRatio(), ratio);
        QCOMPARE(expected.picture.deviceIndependentSize().toSize(), expected.size);
    }
    // The screens keep their layout: buttons and banners at their logical sizes.
    PictureButton button("Cancel", nullptr);
    button.SetPictures(PictureSet::Cancel);
    QCOMPARE(button.size(), QSize(84, 26));
    QSize banner;
    Gallery::VisitEveryScreen([&](const QString& name, ScreenFrame& screen) {
        if (name == "welcome") banner = GuiTest::Find<QLabel>(&screen, 1136)->size();
        return true;
    });
    QCOMPARE(banner, QSize(467, 42));
}

QTEST_MAIN(TextFitTest)
#include "tst_textfit.moc"
