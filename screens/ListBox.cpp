#include "screens/ListBox.h"

#include <QApplication>
#include <QEvent>
#include <QPainter>
#include <QStyledItemDelegate>
#include <algorithm>

namespace Presentation {

namespace {
constexpr int kTextMargin = 1;  // between the list's edge and its text

struct TabbedLine {
    QString left, right;
    int rightX = -1;  // where the right part starts, from the text's left edge; -1 without one
};

// "left<TAB>right" with the right part at the tab stop; without a stop a tab is a blank.
TabbedLine SplitAtTab(const QString& text, int tabStop, const QFontMetrics& metrics) {
    const int tab = tabStop > 0 ? static_cast<int>(text.indexOf('\t')) : -1;
    if (tab < 0) return {QString(text).replace('\t', ' '), QString(), -1};
    TabbedLine line{text.left(tab), text.mid(tab + 1).replace('\t', ' '), tabStop};
    // A name wider than the stop pushes the rest on, as a tab would.
    const int leftWidth = metrics.horizontalAdvance(line.left);
    while (line.rightX <= leftWidth) line.rightX += tabStop;
    return line;
}

// Draws "left<TAB>right" with the right part at the tab stop.
class TabStopDelegate : public QStyledItemDelegate {
  public:
    TabStopDelegate(int tabStop, QObject* parent)
        : QStyledItemDelegate(parent), tabStop_(tabStop) {}

    // One line of the font per item, so that whole lines fill the list.
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return QSize(QStyledItemDelegate::sizeHint(option, index).width(),
                     option.fontMetrics.lineSpacing());
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        const QString text = opt.text;
        opt.text.clear();
        const QWidget* widget = opt.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

        const QRect area = opt.rect.adjusted(kTextMargin, 0, -kTextMargin, 0);
        const QPalette::ColorRole role =
            (opt.state & QStyle::State_Selected) ? QPalette::HighlightedText : QPalette::Text;
        painter->save();
        painter->setFont(opt.font);
        painter->setPen(opt.palette.color(role));
        const int flags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine;
        const TabbedLine line = SplitAtTab(text, tabStop_, opt.fontMetrics);
        painter->drawText(area, flags, line.left);
        if (line.rightX >= 0)
            painter->drawText(area.adjusted(line.rightX, 0, 0, 0), flags, line.right);
        painter->restore();
    }

  private:
    int tabStop_;
};
}  // namespace

ListBox::ListBox(int id, int tabStopPixels, bool selectable, QWidget* parent)
    : QListWidget(parent), tabStop_(tabStopPixels) {
    setObjectName(QString::number(id));
    setSortingEnabled(false);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTextElideMode(Qt::ElideNone);
    setUniformItemSizes(true);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setItemDelegate(new TabStopDelegate(tabStopPixels, this));
    if (!selectable) {
        setSelectionMode(QAbstractItemView::NoSelection);
        setFocusPolicy(Qt::NoFocus);
    }
}

void ListBox::SetTemplateGeometry(const QRect& rect) {
    template_ = rect;
    FitWholeLines();
}

int ListBox::LineHeight() const { return fontMetrics().lineSpacing(); }

void ListBox::FitWholeLines() {
    if (!template_.isValid()) return;
    // As a list box of the templates does: its height shrinks to whole lines,
    // so no line is ever shown cut at the bottom.
    const int frame = 2 * frameWidth();
    const int lines = std::max(1, (template_.height() - frame) / LineHeight());
    setGeometry(template_.x(), template_.y(), template_.width(), lines * LineHeight() + frame);
}

void ListBox::changeEvent(QEvent* event) {
    QListWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        FitWholeLines();
}

void ListBox::AddLine(const std::string& line) { addItem(QString::fromStdString(line)); }

void ListBox::AddLines(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) AddLine(line);
}

int ListBox::TextRight(int row) const {
    const QListWidgetItem* line = item(row);
    if (!line) return 0;
    const QFontMetrics metrics(font());
    const TabbedLine split = SplitAtTab(line->text(), tabStop_, metrics);
    const int right = split.rightX >= 0 ? split.rightX + metrics.horizontalAdvance(split.right)
                                        : metrics.horizontalAdvance(split.left);
    return visualItemRect(line).left() + kTextMargin + right;
}

std::vector<std::string> ListBox::Lines() const {
    std::vector<std::string> lines;
    for (int i = 0; i < count(); ++i) lines.push_back(item(i)->text().toStdString());
    return lines;
}

}  // namespace Presentation
