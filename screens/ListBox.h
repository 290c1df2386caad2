#pragma once
// A list box of text lines, unsorted; a tab in a line moves the rest of the
// line to the list's tab stop. It shows whole lines only.

#include <QListWidget>
#include <string>
#include <vector>

namespace Presentation {

class ListBox : public QListWidget {
    Q_OBJECT
  public:
    // tabStopPixels 0: no tab stops. selectable false: the list shows no selection.
    ListBox(int id, int tabStopPixels, bool selectable, QWidget* parent);
    // Places the list where the template has it, its height cut to whole lines
    // (again whenever its font changes).
    void SetTemplateGeometry(const QRect& rect);
    int LineHeight() const;
    void AddLine(const std::string& line);
    void AddLines(const std::vector<std::string>& lines);
    std::vector<std::string> Lines() const;
    int TabStop() const { return tabStop_; }
    // Where the text of a line ends, in viewport pixels: beyond the viewport's
    // width the line is cut.
    int TextRight(int row) const;

  protected:
    void changeEvent(QEvent* event) override;

  private:
    void FitWholeLines();
    int tabStop_;
    QRect template_;
};

}  // namespace Presentation
