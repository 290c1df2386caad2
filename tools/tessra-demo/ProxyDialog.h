#pragma once
// The tax program's proxy choice, kept as ui_prop_proxy_* lines in ts07.cfg,
// where the Software Manager reads it before every transfer.

#include <QDialog>

class QButtonGroup;
class QLabel;
class QLineEdit;

namespace Demo {

class ProgramSettings;

class ProxyDialog : public QDialog {
    Q_OBJECT
  public:
    explicit ProxyDialog(ProgramSettings& settings, QWidget* parent = nullptr);

    // The words of ui_prop_proxy_which, in the order of the radio buttons.
    static const QStringList& Modes();

  private slots:
    void Save();
    void UpdateFields();

  private:
    ProgramSettings& settings_;
    QButtonGroup* modes_ = nullptr;
    QLineEdit* httpServer_ = nullptr;
    QLineEdit* httpPort_ = nullptr;
    QLineEdit* httpsServer_ = nullptr;
    QLineEdit* httpsPort_ = nullptr;
    QLabel* problem_ = nullptr;
};

}  // namespace Demo
