#pragma once
// The unattended mode of the screens: writes the transcript's "screen" and
// "result" events and, under the autopilot, presses the controls that the
// screen's step names, one queued press at a time after the screen is shown.

#include <QObject>
#include <QString>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace Presentation {

class ScreenFrame;

class ScreenDriver : public QObject {
    Q_OBJECT
  public:
    explicit ScreenDriver(ScreenFrame* screen);

    void Shown();
    void Ended(int result);

    // What the transcript records of a screen, by control id: the texts of the
    // visible labels, buttons, radio buttons, check boxes and links; the lines
    // of the visible lists; the ids of the checked radio buttons and check boxes.
    static nlohmann::json Texts(const QWidget* screen);
    static nlohmann::json Lists(const QWidget* screen);
    static nlohmann::json Checked(const QWidget* screen);

    // Presses a control as a user would: a button is clicked, a radio button
    // or check box toggled by its click, a link opened. False when the screen
    // has no visible, enabled control of that id.
    static bool Press(ScreenFrame* screen, const QString& id);

  private:
    void PressNext();
    void OnBytes(qint64 total);
    void OnWorkerEnded(bool finishedRecord);
    void PressLater(const QString& id);

    ScreenFrame* screen_;
    std::vector<std::string> actions_;
    size_t next_ = 0;
    bool waiting_ = false;      // the step waits for the screen to end by itself
    qint64 pressAtBytes_ = -1;  // "ID@BYTES": press ID once that many bytes arrived
    QString pressAtBytesId_;
    bool pressedAtBytes_ = false;
};

}  // namespace Presentation
