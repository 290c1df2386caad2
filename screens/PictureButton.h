#pragma once
// A push button drawn entirely from four pictures (normal, pressed, focused,
// disabled); the caption is part of the pictures.

#include <QPixmap>
#include <QPushButton>

namespace Presentation {

enum class PictureSet {
    Cancel,
    Next,
    Close,
    Finish,
    Troubleshooting,
    TryAgain,
    UpdateCenter,
    Resume
};

struct ButtonPictures {
    QPixmap normal, pressed, focused, disabled;
};

// Loads a set from the program's resources.
ButtonPictures LoadButtonPictures(PictureSet set);

class PictureButton : public QPushButton {
    Q_OBJECT
  public:
    PictureButton(const QString& text, QWidget* parent);
    // Takes the pictures and resizes the button to them.
    void SetPictures(PictureSet set);
    PictureSet Pictures() const { return set_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    PictureSet set_ = PictureSet::Cancel;
    ButtonPictures pictures_;
};

}  // namespace Presentation
