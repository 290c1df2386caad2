#pragma once
// The frame every wizard screen shares: white page, banner picture, heading
// and body fonts, grey lists, picture buttons, hyperlinks, and Cancel with
// the resume-or-cancel confirmation where the screen asks for it.
//
// A screen builds its controls (at positions given in dialog units) when it is
// constructed and fills them in Initialise(), which runs once before the
// screen is shown. exec() returns 1 (OK), 2 (cancelled) or 4 (the screen's
// own check failed); a screen that decides not to appear returns 2 unshown.

#include <QDialog>
#include <QFont>
#include <QRect>
#include <initializer_list>
#include <string>

class QCheckBox;
class QLabel;
class QRadioButton;

namespace Presentation {

class CStaticLink;
class ListBox;
class PictureButton;
class ScreenDriver;
enum class PictureSet;

// Dialog units of the templates in pixels (about 1.5 per horizontal and
// 1.625 per vertical unit with the template font).
int DluX(int units);
int DluY(int units);
QRect Dlu(int x, int y, int width, int height);

enum class Banner { Large, Small };

// Colour rules of the frame.
inline constexpr int kListGrey = 235;

// Template font of every screen, used where no screen font is set.
QFont TemplateFont();
// A font made from a face and a cell height (ascent plus descent, in pixels),
// as a font description gives it: normal weight, no italic.
QFont ScreenFont(const char* face, int cellHeight);
// The largest pixel (em) size whose ascent plus descent, in the face that
// stands in for `face` here, is at most `cellHeight`. Computed once per pair.
int PixelSizeForCellHeight(const QString& face, int cellHeight);

class ScreenFrame : public QDialog {
    Q_OBJECT
  public:
    ~ScreenFrame() override;

    // Runs the initialisation once. False when the screen decided not to appear.
    bool Prepare();
    int exec() override;
    void done(int result) override;
    void accept() override;  // OK: button 1 or Enter
    void reject() override;  // Cancel: button 2, Escape or the close box

    bool HasEnded() const { return ended_; }
    // Class name without namespace, as the transcript and the autopilot name screens.
    std::string ScreenName() const;
    // The control with this id, or nullptr.
    QWidget* Control(int id) const;
    const QFont& HeadingFont() const { return heading_; }
    const QFont& BodyFont() const { return body_; }

  signals:
    // Screens that download report progress for the unattended mode.
    void bytesArrived(qint64 totalBytes);
    void workerEnded(bool finishedRecord);

  protected:
    ScreenFrame(QWidget* parent, int widthDlu, int heightDlu, Banner banner,
                const QString& title = QStringLiteral("Tessra Software Manager"));

    // Fills the screen; false ends it before it is shown.
    virtual bool Initialise() { return true; }
    virtual void OnOK();
    // Asks for confirmation where AsksConfirmation(), then ends with 2.
    virtual void OnCancel();
    virtual bool AsksConfirmation() const { return false; }
    // Called once, just before the screen ends.
    virtual void OnEnding(int /*result*/) {}

    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

    // Controls at template positions (dialog units).
    QLabel* AddText(int id, const QString& text, const QRect& dlu,
                    Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignTop);
    ListBox* AddList(int id, const QRect& dlu, bool tabStop, bool selectable = true);
    CStaticLink* AddLink(int id, const QString& text, const QRect& dlu);
    // Buttons 1 and 2 are wired to OK and Cancel.
    PictureButton* AddButton(int id, const QString& text, PictureSet pictures, int xDlu, int yDlu);
    QRadioButton* AddRadio(int id, const QString& text, const QRect& dlu);
    QCheckBox* AddCheck(int id, const QString& text, const QRect& dlu);

    void CreateFonts(const char* headingFace, int headingCellHeight, const char* bodyFace,
                     int bodyCellHeight);
    void UseHeadingFont(std::initializer_list<int> ids);
    void UseBodyFont(std::initializer_list<int> ids);
    void ShowControls(std::initializer_list<int> ids, bool visible);
    // Moves a text control to follow another on its line, `gap` pixels after its text.
    void PlaceAfter(int id, int anchorId, int gap = 0);

  private:
    ScreenDriver* driver_;
    QFont heading_;
    QFont body_;
    bool prepared_ = false;
    bool declined_ = false;
    bool shown_ = false;
    bool ended_ = false;
};

}  // namespace Presentation
