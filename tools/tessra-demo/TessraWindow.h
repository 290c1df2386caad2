#pragma once
// The demo tax program's window: the installed products with their versions,
// and the buttons that hand a task to the Software Manager.

#include <QJsonObject>
#include <QMainWindow>
#include <QMap>
#include <QStringList>

class QLabel;
class QTreeWidget;

namespace Demo {

class StateFile;

struct Options {
    QString server;    // after "/N"; else the last one used
    bool mru = false;  // started again by the Software Manager
    QString click;     // press a button once shown: update, alert, buy[:CODE], reinstall[:A,B]
    bool unattended = false;  // TESSRA_DEMO_UNATTENDED: no questions; a restart ends by itself
};

// Appends one JSON line to $TESSRA_DEMO_REPORT (the tour reads them).
void Report(const QString& event, QJsonObject fields = {});

class TessraWindow : public QMainWindow {
    Q_OBJECT
  public:
    explicit TessraWindow(Options options, QWidget* parent = nullptr);

    // Ends the program as a close request does; `reason` goes to the report.
    void CloseFor(const QString& reason);

  protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private slots:
    void CheckForUpdates();
    void CheckForAlerts();
    void BuyState(const QString& preset = {});
    void ReinstallStates(const QStringList& preset = {});
    void EditProxySettings();

  private:
    void LoadState();
    void ShowProducts();
    void AfterShown();
    bool WriteRequest();
    // Starts the Software Manager detached, in the per-user data folder.
    bool StartSoftwareManager(const QString& button, const QStringList& arguments);
    void Problem(const QString& text);
    QString RequestPath() const;

    Options options_;
    QString closeReason_ = "close";
    bool shownOnce_ = false;
    QStringList changes_;                  // "Federal 3 -> 4", since Tessra last ran
    QMap<QString, QString> changeByCode_;  // "US" -> "3 -> 4"
    bool updatedMark_ = false;
    QTreeWidget* products_ = nullptr;
    QLabel* notice_ = nullptr;
    QLabel* serverLabel_ = nullptr;
    QLabel* status_ = nullptr;
};

}  // namespace Demo
