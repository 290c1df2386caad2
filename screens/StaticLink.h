#pragma once
// CStaticLink: a static text that works as a hyperlink (underlined olive
// green, hand cursor). Its target is the string-table entry of its control id,
// else its own text; it opens through the platform. Tab reaches it (a dotted
// rectangle shows the focus), Enter or Space opens it.

#include <QColor>
#include <QLabel>

namespace Presentation {

class CStaticLink : public QLabel {
    Q_OBJECT
  public:
    static const QColor kUnvisitedColor;
    static const QColor kVisitedColor;  // the same green: a visit changes nothing

    CStaticLink(int id, const QString& text, QWidget* parent, const QString& target = QString());

    const QString& Target() const { return target_; }
    QColor CurrentColor() const { return color_; }
    // What a left click does: finds the target, opens it, beeps when that fails.
    void Open();

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void ApplyLook();
    QString target_;
    QColor color_;
};

}  // namespace Presentation
