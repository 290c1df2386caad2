#include "screens/ListBox.h"

#include <QApplication>
#include <QPainter>
#include <QStyledItemDelegate>

namespace Presentation {

namespace {
// Draws "left<TAB>right" with the right part at the tab stop.
class TabStopDelegate : public QStyledItemDelegate {
  public:
    TabStopDelegate(int tabStop, QObject* parent)
        : QStyledItemDelegate(parent), tabStop_(tabStop) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        const QString text = opt.text;
        opt.text.clear();
        const QWidget* widget = opt.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

        const QRect area = opt.rect.adjusted(2, 0, -2, 0);
        const QPalette::ColorRole role =
            (opt.state & QStyle::State_Selected) ? QPalette::HighlightedText : QPalette::Text;
        painter->save();
        painter->setFont(opt.font);
        painter->setPen(opt.palette.color(role));
        const int tab = tabStop_ > 0 ? static_cast<int>(text.indexOf('\t')) : -1;
        const int flags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine;
        if (tab < 0) {
            painter->drawText(area, flags, QString(text).replace('\t', ' '));
        } else {
            const QString left = text.left(tab);
            const QString right = text.mid(tab + 1);
            painter->drawText(area, flags, left);
            // A name wider than the stop pushes the rest on, as a tab would.
            int x = tabStop_;
            const int leftWidth = opt.fontMetrics.horizontalAdvance(left);
            while (x <= leftWidth) x += tabStop_;
            painter->drawText(area.adjusted(x, 0, 0, 0), flags, QString(right).replace('\t', ' '));
        }
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
    setItemDelegate(new TabStopDelegate(tabStopPixels, this));
    if (!selectable) {
        setSelectionMode(QAbstractItemView::NoSelection);
        setFocusPolicy(Qt::NoFocus);
    }
}

void ListBox::AddLine(const std::string& line) { addItem(QString::fromStdString(line)); }

void ListBox::AddLines(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) AddLine(line);
}

std::vector<std::string> ListBox::Lines() const {
    std::vector<std::string> lines;
    for (int i = 0; i < count(); ++i) lines.push_back(item(i)->text().toStdString());
    return lines;
}

}  // namespace Presentation
