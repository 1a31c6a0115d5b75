#pragma once
// The registry in place of the Windows one: two roots, each kept as one
// REGEDIT4 file (CP932, CRLF) in $KALVEX_REGISTRY_DIR, else
// $XDG_CONFIG_HOME/kalvex-registry (~/.config/kalvex-registry).
//
// Key and value names match without regard to case and keep the case they were
// first written with. Subkeys enumerate sorted without regard to case, values
// in creation order. The empty value name is the key's default value.
//
// Every change is a read-modify-write of the root's file under a file lock,
// replaced atomically: two programs may write at once and lose nothing, and a
// crash never leaves half a file.
#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

namespace plat {

enum class RootKey { CurrentUser, LocalMachine };

// "HKEY_CURRENT_USER" or "HKEY_LOCAL_MACHINE".
QString RootKeyName(RootKey root);
std::optional<RootKey> RootKeyFromName(const QString &name);

enum class RegType { String, DWord, Binary, MultiString };

struct RegValue {
    QString name;               // as first written; "" is the default value
    RegType type = RegType::String;
    QString text{};             // String
    quint32 number = 0;         // DWord
    QByteArray binary{};        // Binary
    QStringList strings{};      // MultiString

    bool operator==(const RegValue &) const = default;
};

// One key in memory with its values and subkeys.
class RegKey {
public:
    explicit RegKey(QString name = {});
    RegKey(const RegKey &other);
    RegKey &operator=(const RegKey &other);
    RegKey(RegKey &&) noexcept = default;
    RegKey &operator=(RegKey &&) noexcept = default;

    const QString &name() const { return name_; }

    // Paths are backslash-separated, relative to this key; an empty path is this key.
    const RegKey *key(const QString &path) const;     // nullptr when missing
    RegKey *key(const QString &path);
    // Creates the missing levels. Throws RegistryError for a name with a line
    // break or a path deeper than 512 levels: a registry file cannot hold them.
    RegKey &createKey(const QString &path);
    bool deleteKey(const QString &path);              // the whole tree; false when missing
    QStringList subKeyNames() const;                  // sorted without regard to case

    const RegValue *value(const QString &name) const; // nullptr when missing
    bool hasValue(const QString &name) const { return value(name) != nullptr; }
    QStringList valueNames() const;                   // creation order
    bool deleteValue(const QString &name);            // false when missing

    // Typed reads: nothing when the value is missing or of another type.
    std::optional<QString> readString(const QString &name) const;
    std::optional<quint32> readDWord(const QString &name) const;
    std::optional<QByteArray> readBinary(const QString &name) const;
    std::optional<QStringList> readMultiString(const QString &name) const;

    // Writes replace a value of any type and keep its place in the order and the
    // case of its name. Throws RegistryError for a name with a line break.
    void writeString(const QString &name, const QString &text);
    void writeDWord(const QString &name, quint32 number);
    void writeBinary(const QString &name, const QByteArray &bytes);
    void writeMultiString(const QString &name, const QStringList &strings);
    void writeValue(RegValue value); // of the type and data that value holds

    bool operator==(const RegKey &other) const;

private:
    QString name_;
    std::vector<RegValue> values_;
    std::map<QString, std::unique_ptr<RegKey>> subKeys_; // by lower-cased name
};

// A registry file that could not be read or written.
class RegistryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A root as read from its file: the keys that could be parsed, and one text per
// line that could not (with its line number). A missing file is an empty root.
struct RegistryRead {
    RegKey root;
    QStringList problems;
};

QString RegistryDirectory();
QString RegistryFilePath(RootKey root);

// Reads a root. Throws RegistryError only when the file exists and cannot be read.
RegistryRead LoadRegistry(RootKey root);

// Read-modify-write of a root under its file lock, replaced atomically. When the
// file held lines that could not be parsed, it is first kept as
// "<file>.bad" so the user's data is never silently lost.
// Throws RegistryError when the file cannot be locked, read or written.
void UpdateRegistry(RootKey root, const std::function<void(RegKey &root)> &edit);

// REGEDIT4 text of key (and its subtree), named by its full path such as
// "HKEY_CURRENT_USER\Software\ZK\Kalvex", as CP932 bytes with CRLF line ends.
QByteArray ExportRegedit4(const RegKey &key, const QString &fullPath);

// Parses REGEDIT4 text into the two roots. A key line "[-path]" deletes that
// key: it is listed and also dropped from the keys parsed before it, so
// deleting the listed paths first and then merging the keys gives the result
// of the lines in their order. Lines that cannot be parsed are problems.
struct Regedit4Import {
    RegKey currentUser, localMachine;
    QStringList deletedCurrentUser, deletedLocalMachine; // paths of "[-...]" lines
    QStringList problems;
};
Regedit4Import ParseRegedit4(const QByteArray &cp932Text);

} // namespace plat
