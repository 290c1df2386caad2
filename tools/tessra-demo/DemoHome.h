#pragma once
// The demo tax program's files: its state file (the installed products and
// their versions, kept together with the demo installers), its settings file
// ts07.cfg (typed lines), and the request file it hands the Software Manager.

#include <QString>
#include <QStringList>
#include <map>
#include <optional>
#include <vector>

namespace Demo {

// Per-user and common data folders followed by "/Tessra/2007", resolved as
// the Software Manager resolves them.
QString UserDataFolder();
QString CommonDataFolder();

struct Product {
    QString code;  // upper case: "US", "HLP", "CA"
    QString name;  // display name from the product catalogue
    int version = 0;
};

// Lines of "key=value": upper-case keys are installed products and their
// versions; lower-case keys are the program's own ("server", "edition",
// "store", "seen-US"). Comments and order are kept on save.
class StateFile {
  public:
    explicit StateFile(QString path) : path_(std::move(path)) {}

    bool Load();  // false when the file cannot be read
    bool Save();  // atomic: a temporary file renamed over the original

    QString Value(const QString& key) const;
    void SetValue(const QString& key, const QString& value);
    void Remove(const QString& key);

    // Installed products in file order (keys in upper case known to the catalogue).
    std::vector<Product> Products() const;
    std::optional<int> Version(const QString& code) const;
    QStringList Keys() const;

    const QString& Path() const { return path_; }

  private:
    QString path_;
    QStringList lines_;
};

// The tax program's settings file: typed lines "type:name=value".
class ProgramSettings {
  public:
    explicit ProgramSettings(QString path) : path_(std::move(path)) {}

    bool Load();  // a missing file reads as empty
    bool Save();  // atomic, creates the file when missing

    // The value of the first line for `name` ("" when absent); `found` tells absence.
    QString Value(const QString& name, bool* found = nullptr) const;
    // Replaces every line for `name` with one "type:name=value" line, in place
    // of the first; appends it when there is none.
    void Set(const QString& type, const QString& name, const QString& value);
    // The raw line for `name`, for showing it as it stands in the file.
    QString Line(const QString& name) const;

    const QString& Path() const { return path_; }

  private:
    QString path_;
    QStringList lines_;
};

// The request file for an update check: an edition line and one record of
// nine keys per product, each manifest saved under the common Downloads folder.
QString RequestText(const QString& edition, const QString& prom, const QString& camp,
                    const std::vector<Product>& products);

// Product name from the catalogue; the code itself when unknown.
QString ProductName(const QString& code);
bool IsStateCode(const QString& code);

}  // namespace Demo
