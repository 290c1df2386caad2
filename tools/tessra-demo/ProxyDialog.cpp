#include "tools/tessra-demo/ProxyDialog.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "tools/tessra-demo/DemoHome.h"

namespace Demo {

const QStringList& ProxyDialog::Modes() {
    static const QStringList modes = {"none", "system", "tessra", "signature", "pac"};
    return modes;
}

ProxyDialog::ProxyDialog(ProgramSettings& settings, QWidget* parent)
    : QDialog(parent), settings_(settings) {
    setWindowTitle(tr("Proxy Settings"));
    setObjectName("ProxyDialog");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(tr("How Tessra connects to the update server:")));

    const QStringList captions = {
        tr("No proxy"),
        tr("Use the system's proxy settings"),
        tr("Use this proxy server"),
        tr("Use this proxy server (Signature)"),
        tr("Automatic proxy configuration script (from the system settings)"),
    };
    modes_ = new QButtonGroup(this);
    for (int i = 0; i < captions.size(); ++i) {
        auto* radio = new QRadioButton(captions[i]);
        radio->setObjectName("proxy-" + Modes()[i]);
        modes_->addButton(radio, i);
        layout->addWidget(radio);
    }

    // ':' and '=' would end a typed line's value early, so hosts and ports
    // are kept free of them.
    auto* hostValidator =
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[^:=\\s]*")), this);
    auto* portValidator =
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,5}")), this);
    auto makeField = [&](const QString& name, QValidator* validator) {
        auto* field = new QLineEdit(settings_.Value(name));
        field->setObjectName(name);
        field->setValidator(validator);
        return field;
    };
    httpServer_ = makeField("ui_prop_proxy_http_server", hostValidator);
    httpPort_ = makeField("ui_prop_proxy_http_port", portValidator);
    httpsServer_ = makeField("ui_prop_proxy_https_server", hostValidator);
    httpsPort_ = makeField("ui_prop_proxy_https_port", portValidator);
    auto* form = new QFormLayout;
    form->addRow(tr("HTTP proxy server:"), httpServer_);
    form->addRow(tr("HTTP port:"), httpPort_);
    form->addRow(tr("HTTPS proxy server:"), httpsServer_);
    form->addRow(tr("HTTPS port:"), httpsPort_);
    layout->addLayout(form);

    problem_ = new QLabel;
    problem_->setStyleSheet("color: #a00000");
    problem_->hide();
    layout->addWidget(problem_);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &ProxyDialog::Save);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(modes_, &QButtonGroup::idClicked, this, &ProxyDialog::UpdateFields);

    const qsizetype current = Modes().indexOf(settings_.Value("ui_prop_proxy_which"));
    modes_->button(current < 0 ? 0 : static_cast<int>(current))->setChecked(true);
    UpdateFields();
}

void ProxyDialog::UpdateFields() {
    // Only "tessra" and "signature" take their address from these fields.
    const bool own = modes_->checkedId() == 2 || modes_->checkedId() == 3;
    for (QLineEdit* field : {httpServer_, httpPort_, httpsServer_, httpsPort_}) {
        field->setEnabled(own);
    }
}

void ProxyDialog::Save() {
    const int mode = modes_->checkedId();
    if ((mode == 2 || mode == 3) && httpServer_->text().trimmed().isEmpty()) {
        problem_->setText(tr("Enter the proxy server's host name."));
        problem_->show();
        return;
    }
    // The Software Manager may have rewritten the file since it was read.
    settings_.Load();
    settings_.Set("string", "ui_prop_proxy_which", Modes()[mode]);
    settings_.Set("string", "ui_prop_proxy_http_server", httpServer_->text().trimmed());
    settings_.Set("string", "ui_prop_proxy_http_port", httpPort_->text().trimmed());
    settings_.Set("string", "ui_prop_proxy_https_server", httpsServer_->text().trimmed());
    settings_.Set("string", "ui_prop_proxy_https_port", httpsPort_->text().trimmed());
    if (!settings_.Save()) {
        problem_->setText(tr("Could not write %1.").arg(settings_.Path()));
        problem_->show();
        return;
    }
    accept();
}

}  // namespace Demo
