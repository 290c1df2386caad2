#include "tools/tessra-demo/DemoHome.h"

#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTextStream>

#include "data/ProductCatalog.h"
#include "platform/LinuxPlatform.h"

namespace Demo {

namespace {

const Data::ProductCatalog& Catalog() {
    static const Data::ProductCatalog catalog;
    return catalog;
}

bool ReadLines(const QString& path, QStringList& lines) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    lines.clear();
    const QString text = QString::fromUtf8(file.readAll());
    for (QString line : text.split('\n')) {
        if (line.endsWith('\r')) line.chop(1);
        lines << line;
    }
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return true;
}

bool WriteLines(const QString& path, const QStringList& lines) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return false;
    file.write((lines.join('\n') + '\n').toUtf8());
    return file.commit();
}

// The key of a "key=value" line, or "" for comments and other lines.
QString KeyOf(const QString& line) {
    if (line.startsWith('#')) return {};
    const qsizetype eq = line.indexOf('=');
    return eq <= 0 ? QString() : line.left(eq).trimmed();
}

// The name of a typed line "type:name=value", or "".
QString TypedNameOf(const QString& line) {
    static const QRegularExpression pattern(QStringLiteral("^[a-z]+:([^:=]+)="));
    const auto match = pattern.match(line);
    return match.hasMatch() ? match.captured(1) : QString();
}

}  // namespace

QString UserDataFolder() {
    return QString::fromStdString(Sys::Linux().AppDataFolder()) + "/Tessra/2007";
}

QString CommonDataFolder() {
    return QString::fromStdString(Sys::Linux().CommonAppDataFolder()) + "/Tessra/2007";
}

bool StateFile::Load() { return ReadLines(path_, lines_); }
bool StateFile::Save() { return WriteLines(path_, lines_); }

QString StateFile::Value(const QString& key) const {
    for (const QString& line : lines_) {
        if (KeyOf(line) == key) return line.mid(line.indexOf('=') + 1).trimmed();
    }
    return {};
}

void StateFile::SetValue(const QString& key, const QString& value) {
    const QString line = key + '=' + value;
    for (QString& existing : lines_) {
        if (KeyOf(existing) == key) {
            existing = line;
            return;
        }
    }
    lines_ << line;
}

void StateFile::Remove(const QString& key) {
    lines_.removeIf([&](const QString& line) { return KeyOf(line) == key; });
}

std::vector<Product> StateFile::Products() const {
    std::vector<Product> products;
    for (const QString& line : lines_) {
        const QString key = KeyOf(line);
        if (key.isEmpty() || key != key.toUpper()) continue;
        const Data::ProductInfo* info = Catalog().FindProduct(key.toStdString());
        if (!info || info->code == "ALERT") continue;
        bool ok = false;
        const int version = line.mid(line.indexOf('=') + 1).trimmed().toInt(&ok);
        if (!ok) continue;
        products.push_back(
            {QString::fromStdString(info->code), QString::fromStdString(info->name), version});
    }
    return products;
}

std::optional<int> StateFile::Version(const QString& code) const {
    for (const Product& product : Products()) {
        if (product.code == code) return product.version;
    }
    return std::nullopt;
}

QStringList StateFile::Keys() const {
    QStringList keys;
    for (const QString& line : lines_) {
        if (const QString key = KeyOf(line); !key.isEmpty()) keys << key;
    }
    return keys;
}

bool ProgramSettings::Load() {
    if (!QFile::exists(path_)) {
        lines_.clear();
        return true;
    }
    return ReadLines(path_, lines_);
}

bool ProgramSettings::Save() { return WriteLines(path_, lines_); }

QString ProgramSettings::Value(const QString& name, bool* found) const {
    const QString line = Line(name);
    if (found) *found = !line.isEmpty();
    if (line.isEmpty()) return {};
    QString value = line.mid(line.indexOf('=') + 1);
    // A value ends at the first ':' or '=' (and the line end).
    const qsizetype stop = value.indexOf(QRegularExpression(QStringLiteral("[:=]")));
    return stop < 0 ? value : value.left(stop);
}

QString ProgramSettings::Line(const QString& name) const {
    for (const QString& line : lines_) {
        if (TypedNameOf(line) == name) return line;
    }
    return {};
}

void ProgramSettings::Set(const QString& type, const QString& name, const QString& value) {
    const QString line = type + ':' + name + '=' + value;
    bool placed = false;
    for (qsizetype i = 0; i < lines_.size();) {
        if (TypedNameOf(lines_[i]) != name) {
            ++i;
        } else if (!placed) {
            lines_[i++] = line;
            placed = true;
        } else {
            lines_.removeAt(i);
        }
    }
    if (!placed) lines_ << line;
}

QString RequestText(const QString& edition, const QString& prom, const QString& camp,
                    const std::vector<Product>& products) {
    QString text;
    QTextStream out(&text);
    out << "edition=" << edition << '\n';
    for (const Product& product : products) {
        const QString code = product.code.toLower();
        out << "prom=" << prom << '\n'
            << "camp=" << camp << '\n'
            << "year=2007\n"
            << "product=" << code << '\n'
            << "ver=ver.txt\n"
            << "output=" << CommonDataFolder() << "/Downloads/" << code << "-ver.txt\n"
            << "file-bytes=0\n"
            << "installed-ver=" << product.version << '\n'
            << "isalert=false\n";
    }
    return text;
}

QString ProductName(const QString& code) {
    const Data::ProductInfo* info = Catalog().FindProduct(code.toStdString());
    return info ? QString::fromStdString(info->name) : code;
}

bool IsStateCode(const QString& code) {
    const Data::ProductInfo* info = Catalog().FindProduct(code.toStdString());
    return info && info->code.size() == 2 && info->code != "US";
}

}  // namespace Demo
