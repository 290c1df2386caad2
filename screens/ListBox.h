#pragma once
// A list box of text lines, unsorted; a tab in a line moves the rest of the
// line to the list's tab stop.

#include <QListWidget>
#include <string>
#include <vector>

namespace Presentation {

class ListBox : public QListWidget {
    Q_OBJECT
  public:
    // tabStopPixels 0: no tab stops. selectable false: the list shows no selection.
    ListBox(int id, int tabStopPixels, bool selectable, QWidget* parent);
    void AddLine(const std::string& line);
    void AddLines(const std::vector<std::string>& lines);
    std::vector<std::string> Lines() const;
    int TabStop() const { return tabStop_; }

  private:
    int tabStop_;
};

}  // namespace Presentation
