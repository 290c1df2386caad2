#include "tools/tessra-demo/TessraWindow.h"

#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSaveFile>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "tools/tessra-demo/DemoHome.h"
#include "tools/tessra-demo/ProxyDialog.h"

namespace Demo {

namespace {

const char* const kMarkName = "ui_prop_tessra_updated";
const char* const kMarkLine = "bool:ui_prop_tessra_updated=true";

QString StateFilePath() { return UserDataFolder() + "/demo-state.cfg"; }
QString ProgramSettingsPath() { return UserDataFolder() + "/ts07.cfg"; }

QString SoftwareManagerPath() {
    const QString configured = qEnvironmentVariable("TESSRA_SWM");
    if (!configured.isEmpty()) return configured;
    return QCoreApplication::applicationDirPath() + "/tessra-swm";
}

QJsonArray ToJson(const QStringList& list) { return QJsonArray::fromStringList(list); }

}  // namespace

void Report(const QString& event, QJsonObject fields) {
    const QString path = qEnvironmentVariable("TESSRA_DEMO_REPORT");
    if (path.isEmpty()) return;
    fields.insert("event", event);
    fields.insert("pid", static_cast<qint64>(getpid()));
    QFile file(path);
    if (!file.open(QIODevice::Append)) return;
    file.write(QJsonDocument(fields).toJson(QJsonDocument::Compact) + '\n');
}

TessraWindow::TessraWindow(Options options, QWidget* parent)
    : QMainWindow(parent), options_(std::move(options)) {
    setWindowTitle(tr("Tessra 2007"));
    setObjectName("TessraWindow");
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);

    auto* banner = new QLabel(tr("Tessra 2007"));
    banner->setStyleSheet(
        "background: #23302a; color: white; font-size: 22px; font-weight: bold; padding: 10px;");
    layout->addWidget(banner);

    notice_ = new QLabel;
    notice_->setObjectName("notice");
    notice_->setWordWrap(true);
    notice_->setStyleSheet(
        "background: #e6f2dc; border: 1px solid #6b8e23; padding: 6px; color: #203010;");
    notice_->hide();
    layout->addWidget(notice_);

    layout->addWidget(new QLabel(tr("Installed programs:")));
    products_ = new QTreeWidget;
    products_->setObjectName("products");
    products_->setHeaderLabels({tr("Program"), tr("Code"), tr("Version"), tr("Since last start")});
    products_->setRootIsDecorated(false);
    products_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    layout->addWidget(products_);

    serverLabel_ = new QLabel;
    serverLabel_->setObjectName("server");
    layout->addWidget(serverLabel_);

    auto* buttons = new QHBoxLayout;
    auto addButton = [&](const QString& text, const char* name, auto slot) {
        auto* button = new QPushButton(text);
        button->setObjectName(name);
        connect(button, &QPushButton::clicked, this, slot);
        buttons->addWidget(button);
    };
    addButton(tr("Check for Updates"), "update", &TessraWindow::CheckForUpdates);
    addButton(tr("Check for Alerts"), "alert", &TessraWindow::CheckForAlerts);
    addButton(tr("Buy a State"), "buy", [this] { BuyState(); });
    addButton(tr("Reinstall States"), "reinstall", [this] { ReinstallStates(); });
    addButton(tr("Proxy Settings"), "proxy", &TessraWindow::EditProxySettings);
    layout->addLayout(buttons);

    status_ = new QLabel;
    status_->setObjectName("status");
    status_->setWordWrap(true);
    layout->addWidget(status_);

    setCentralWidget(page);
    resize(620, 420);
    LoadState();
}

void TessraWindow::LoadState() {
    StateFile state(StateFilePath());
    if (!state.Load()) {
        Problem(tr("Tessra's state file %1 cannot be read; lay out a demo home first "
                   "(tools/demo/make_demo_tree.py).")
                    .arg(state.Path()));
    }
    if (options_.server.isEmpty()) {
        options_.server = state.Value("server");
    } else {
        state.SetValue("server", options_.server);
    }

    // What changed since Tessra last ran: the versions it saw then are kept
    // as "seen-CODE" lines.
    const QString seenPrefix = "seen-";
    QJsonArray changes;
    auto addChange = [&](const QString& code, const QString& from, const QString& to) {
        const QString what = to.isEmpty()     ? tr("removed")
                             : from.isEmpty() ? tr("%1 (new)").arg(to)
                                              : tr("%1 -> %2").arg(from, to);
        changeByCode_.insert(code, what);
        changes_ << ProductName(code) + ' ' + what;
        changes.append(QJsonObject{{"code", code}, {"from", from}, {"to", to}});
    };
    QStringList current;
    for (const Product& product : state.Products()) {
        current << product.code;
        const QString seen = state.Value(seenPrefix + product.code);
        const QString now = QString::number(product.version);
        if (seen != now) {
            addChange(product.code, seen, now);
            state.SetValue(seenPrefix + product.code, now);
        }
    }
    for (const QString& key : state.Keys()) {
        const QString code = key.mid(seenPrefix.size());
        if (!key.startsWith(seenPrefix) || current.contains(code)) continue;
        addChange(code, state.Value(key), QString());
        state.Remove(key);
    }
    state.Save();

    // The Software Manager writes the "updated" mark before it installs;
    // show it once, then clear it for the next run.
    ProgramSettings settings(ProgramSettingsPath());
    settings.Load();
    const QString markLine = settings.Line(kMarkName);
    updatedMark_ = markLine == kMarkLine;
    if (updatedMark_) {
        settings.Set("bool", kMarkName, "false");
        settings.Save();
    }

    QStringList noticeLines;
    if (options_.mru) noticeLines << tr("Started again by the Software Manager (/mru).");
    if (updatedMark_) {
        noticeLines << tr("Updates were installed: ts07.cfg has %1").arg(kMarkLine);
    }
    if (!changes_.isEmpty()) noticeLines << tr("Changed: %1").arg(changes_.join(", "));
    if (!noticeLines.isEmpty() && (options_.mru || updatedMark_)) {
        notice_->setText(noticeLines.join('\n'));
        notice_->show();
    }

    ShowProducts();

    QJsonObject products;
    for (const Product& product : state.Products()) products.insert(product.code, product.version);
    Report("tessra-start", {{"arguments", ToJson(QCoreApplication::arguments().mid(1))},
                            {"mru", options_.mru},
                            {"updatedMark", updatedMark_},
                            {"markLine", markLine},
                            {"products", products},
                            {"changes", changes},
                            {"server", options_.server}});
}

void TessraWindow::ShowProducts() {
    StateFile state(StateFilePath());
    state.Load();
    products_->clear();
    for (const Product& product : state.Products()) {
        auto* item = new QTreeWidgetItem(
            {product.name, product.code, QString::number(product.version), QString()});
        if (changeByCode_.contains(product.code)) {
            item->setText(3, changeByCode_.value(product.code));
            QFont bold = item->font(0);
            bold.setBold(true);
            for (int column = 0; column < 4; ++column) item->setFont(column, bold);
        }
        products_->addTopLevelItem(item);
    }
    serverLabel_->setText(options_.server.isEmpty()
                              ? tr("No update server: start Tessra.exe with /N SERVER.")
                              : tr("Update server: %1").arg(options_.server));
}

void TessraWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (shownOnce_) return;
    shownOnce_ = true;
    // Let the window lay itself out and paint before it is grabbed.
    QTimer::singleShot(150, this, &TessraWindow::AfterShown);
}

void TessraWindow::AfterShown() {
    const QString prefix = qEnvironmentVariable("TESSRA_DEMO_SCREENSHOTS");
    if (!prefix.isEmpty()) {
        const QString file = prefix + (options_.mru ? "-restarted" : "") + ".png";
        QDir().mkpath(QFileInfo(file).absolutePath());
        if (grab().save(file)) Report("tessra-screenshot", {{"file", file}});
    }
    const QString click = options_.click;
    const QString action = click.section(':', 0, 0);
    const QStringList values = click.section(':', 1).split(',', Qt::SkipEmptyParts);
    if (action == "update") {
        CheckForUpdates();
    } else if (action == "alert") {
        CheckForAlerts();
    } else if (action == "buy") {
        BuyState(values.value(0));
    } else if (action == "reinstall") {
        ReinstallStates(values);
    } else if (action == "proxy") {
        EditProxySettings();
    } else if (!action.isEmpty()) {
        Problem(tr("Unknown --click action: %1").arg(click));
    } else if (options_.unattended) {
        // A restart during the tour: it has shown what it came to show.
        QTimer::singleShot(300, this, [this] { CloseFor("unattended"); });
    }
}

QString TessraWindow::RequestPath() const { return UserDataFolder() + "/download.cfg"; }

bool TessraWindow::WriteRequest() {
    StateFile state(StateFilePath());
    state.Load();
    auto valueOr = [&](const char* key, const char* fallback) {
        const QString value = state.Value(key);
        return value.isEmpty() ? QString(fallback) : value;
    };
    const QString text = RequestText(valueOr("edition", "premium"), valueOr("prom", "TSRA"),
                                     valueOr("camp", "200701"), state.Products());
    QSaveFile file(RequestPath());
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.commit()) {
        Problem(tr("Could not write the request file %1.").arg(RequestPath()));
        return false;
    }
    return true;
}

bool TessraWindow::StartSoftwareManager(const QString& button, const QStringList& arguments) {
    const QString program = SoftwareManagerPath();
    if (!QFileInfo(program).isExecutable()) {
        Problem(tr("The Software Manager is not at %1.").arg(program));
        return false;
    }
    qint64 pid = 0;
    if (!QProcess::startDetached(program, arguments, UserDataFolder(), &pid)) {
        Problem(tr("The Software Manager (%1) could not be started.").arg(program));
        return false;
    }
    status_->setText(tr("Started: tessra-swm %1").arg(arguments.join(' ')));
    Report("tessra-run", {{"button", button},
                          {"program", program},
                          {"arguments", ToJson(arguments)},
                          {"folder", UserDataFolder()},
                          {"child", pid}});
    return true;
}

void TessraWindow::CheckForUpdates() {
    if (options_.server.isEmpty()) return Problem(tr("No update server is known."));
    if (!WriteRequest()) return;
    StartSoftwareManager("update", {RequestPath(), "/N", options_.server});
}

void TessraWindow::CheckForAlerts() {
    if (options_.server.isEmpty()) return Problem(tr("No update server is known."));
    if (!WriteRequest()) return;
    StartSoftwareManager("alert", {"/alert", RequestPath(), "/N", options_.server});
}

void TessraWindow::BuyState(const QString& preset) {
    if (options_.server.isEmpty()) return Problem(tr("No update server is known."));
    StateFile state(StateFilePath());
    state.Load();
    QString code = preset.toUpper();
    if (code.isEmpty()) {
        QStringList offers;
        for (const QString& offer : state.Value("store").split(' ', Qt::SkipEmptyParts)) {
            if (!state.Version(offer)) offers << offer;
        }
        if (offers.isEmpty()) return Problem(tr("Every state in the store is installed."));
        code = offers.first();
        if (!options_.unattended) {
            QStringList names;
            for (const QString& offer : offers) names << ProductName(offer) + " (" + offer + ")";
            bool ok = false;
            const QString chosen =
                QInputDialog::getItem(this, tr("Buy a State"), tr("State:"), names, 0, false, &ok);
            if (!ok) return;
            code = offers.at(names.indexOf(chosen));
        }
    }
    if (!options_.unattended &&
        QMessageBox::question(this, tr("Buy a State"),
                              tr("Tessra will close now so that the Software Manager can download "
                                 "and install %1.")
                                  .arg(ProductName(code))) != QMessageBox::Yes) {
        return;
    }
    // The Software Manager waits until Tessra has ended before it installs.
    const QString address =
        QString("http://%1/states/2007/%2/Tessra%3.exe").arg(options_.server, code.toLower(), code);
    if (StartSoftwareManager("buy", {address, "/purchase"})) CloseFor("purchase");
}

void TessraWindow::ReinstallStates(const QStringList& preset) {
    StateFile state(StateFilePath());
    state.Load();
    QStringList codes;
    for (const QString& code : preset) codes << code.toUpper();
    if (codes.isEmpty()) {
        for (const Product& product : state.Products()) {
            if (IsStateCode(product.code)) codes << product.code;
        }
        if (codes.isEmpty()) return Problem(tr("No state is installed."));
        if (!options_.unattended) {
            QDialog dialog(this);
            dialog.setWindowTitle(tr("Reinstall States"));
            auto* layout = new QVBoxLayout(&dialog);
            layout->addWidget(
                new QLabel(tr("Reinstall these states from the installers on this computer:")));
            QList<QCheckBox*> boxes;
            for (const QString& code : codes) {
                auto* box = new QCheckBox(ProductName(code) + " (" + code + ")");
                box->setChecked(true);
                layout->addWidget(box);
                boxes << box;
            }
            layout->addWidget(new QLabel(tr("Tessra closes while the states are reinstalled.")));
            auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
            layout->addWidget(buttons);
            connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
            connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
            if (dialog.exec() != QDialog::Accepted) return;
            QStringList chosen;
            for (int i = 0; i < boxes.size(); ++i) {
                if (boxes[i]->isChecked()) chosen << codes[i];
            }
            codes = chosen;
            if (codes.isEmpty()) return;
        }
    }
    // The Software Manager starts Tessra again when it is done.
    if (StartSoftwareManager("reinstall", QStringList{"-reinstall"} + codes)) {
        CloseFor("reinstall");
    }
}

void TessraWindow::EditProxySettings() {
    ProgramSettings settings(ProgramSettingsPath());
    settings.Load();
    ProxyDialog dialog(settings, this);
    if (dialog.exec() == QDialog::Accepted) {
        status_->setText(tr("Proxy: %1").arg(settings.Value("ui_prop_proxy_which")));
        Report("tessra-proxy", {{"which", settings.Value("ui_prop_proxy_which")}});
    }
}

void TessraWindow::Problem(const QString& text) {
    status_->setText(text);
    Report("tessra-error", {{"text", text}});
    if (!options_.unattended && isVisible()) QMessageBox::warning(this, tr("Tessra"), text);
}

void TessraWindow::CloseFor(const QString& reason) {
    closeReason_ = reason;
    close();
}

void TessraWindow::closeEvent(QCloseEvent* event) {
    Report("tessra-exit", {{"reason", closeReason_}});
    event->accept();
    QApplication::quit();
}

}  // namespace Demo
