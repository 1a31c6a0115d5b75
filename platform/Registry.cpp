#include "platform/Registry.h"

#include "platform/Cp932.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>

#include <algorithm>
#include <cctype>
#include <chrono>

namespace plat {
namespace {

// The Windows registry's own nesting limit; it also bounds the recursion over
// a tree that a file describes.
constexpr int MaxKeyDepth = 512;

QString fold(const QString &name)
{
    return name.toCaseFolded();
}

QStringList splitPath(const QString &path)
{
    return path.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
}

bool holdsLineBreak(const QString &text)
{
    return text.contains(QLatin1Char('\r')) || text.contains(QLatin1Char('\n'));
}

// A name is written bare between quotes or brackets: a line break would split its line.
void checkName(const QString &name)
{
    if (holdsLineBreak(name))
        throw RegistryError("registry name with a line break: " + name.toStdString());
}

template <typename T>
std::optional<T> typed(const RegValue *v, RegType type, T RegValue::*field)
{
    if (!v || v->type != type)
        return std::nullopt;
    return v->*field;
}

} // namespace

// ---- keys in memory -------------------------------------------------------

QString RootKeyName(RootKey root)
{
    return root == RootKey::CurrentUser ? QStringLiteral("HKEY_CURRENT_USER")
                                        : QStringLiteral("HKEY_LOCAL_MACHINE");
}

std::optional<RootKey> RootKeyFromName(const QString &name)
{
    for (RootKey root : {RootKey::CurrentUser, RootKey::LocalMachine}) {
        if (name.compare(RootKeyName(root), Qt::CaseInsensitive) == 0)
            return root;
    }
    return std::nullopt;
}

RegKey::RegKey(QString name) : name_(std::move(name)) {}

RegKey::RegKey(const RegKey &other) : name_(other.name_), values_(other.values_)
{
    for (const auto &[folded, sub] : other.subKeys_)
        subKeys_.emplace(folded, std::make_unique<RegKey>(*sub));
}

RegKey &RegKey::operator=(const RegKey &other)
{
    if (this != &other)
        *this = RegKey(other);
    return *this;
}

const RegKey *RegKey::key(const QString &path) const
{
    const RegKey *k = this;
    for (const QString &part : splitPath(path)) {
        const auto it = k->subKeys_.find(fold(part));
        if (it == k->subKeys_.end())
            return nullptr;
        k = it->second.get();
    }
    return k;
}

RegKey *RegKey::key(const QString &path)
{
    return const_cast<RegKey *>(std::as_const(*this).key(path));
}

RegKey &RegKey::createKey(const QString &path)
{
    const QStringList parts = splitPath(path);
    if (parts.size() > MaxKeyDepth)
        throw RegistryError("registry key path too deep");
    std::for_each(parts.begin(), parts.end(), checkName);
    RegKey *k = this;
    for (const QString &part : parts) {
        auto &slot = k->subKeys_[fold(part)];
        if (!slot)
            slot = std::make_unique<RegKey>(part);
        k = slot.get();
    }
    return *k;
}

bool RegKey::deleteKey(const QString &path)
{
    QStringList parts = splitPath(path);
    if (parts.isEmpty())
        return false;
    const QString last = parts.takeLast();
    RegKey *parent = key(parts.join(QLatin1Char('\\')));
    return parent && parent->subKeys_.erase(fold(last)) > 0;
}

QStringList RegKey::subKeyNames() const
{
    QStringList names;
    for (const auto &entry : subKeys_)
        names << entry.second->name_;
    return names;
}

const RegValue *RegKey::value(const QString &name) const
{
    const auto it = std::find_if(values_.begin(), values_.end(), [&](const RegValue &v) {
        return v.name.compare(name, Qt::CaseInsensitive) == 0;
    });
    return it == values_.end() ? nullptr : &*it;
}

QStringList RegKey::valueNames() const
{
    QStringList names;
    for (const RegValue &v : values_)
        names << v.name;
    return names;
}

bool RegKey::deleteValue(const QString &name)
{
    return std::erase_if(values_, [&](const RegValue &v) {
               return v.name.compare(name, Qt::CaseInsensitive) == 0;
           }) > 0;
}

std::optional<QString> RegKey::readString(const QString &name) const
{
    return typed(value(name), RegType::String, &RegValue::text);
}

std::optional<quint32> RegKey::readDWord(const QString &name) const
{
    return typed(value(name), RegType::DWord, &RegValue::number);
}

std::optional<QByteArray> RegKey::readBinary(const QString &name) const
{
    return typed(value(name), RegType::Binary, &RegValue::binary);
}

std::optional<QStringList> RegKey::readMultiString(const QString &name) const
{
    return typed(value(name), RegType::MultiString, &RegValue::strings);
}

void RegKey::writeString(const QString &name, const QString &text)
{
    writeValue({.name = name, .type = RegType::String, .text = text});
}

void RegKey::writeDWord(const QString &name, quint32 number)
{
    writeValue({.name = name, .type = RegType::DWord, .number = number});
}

void RegKey::writeBinary(const QString &name, const QByteArray &bytes)
{
    writeValue({.name = name, .type = RegType::Binary, .binary = bytes});
}

void RegKey::writeMultiString(const QString &name, const QStringList &strings)
{
    writeValue({.name = name, .type = RegType::MultiString, .strings = strings});
}

void RegKey::writeValue(RegValue v)
{
    checkName(v.name);
    if (auto *old = const_cast<RegValue *>(value(v.name))) {
        v.name = old->name;
        *old = std::move(v);
    } else {
        values_.push_back(std::move(v));
    }
}

bool RegKey::operator==(const RegKey &other) const
{
    return name_ == other.name_ && values_ == other.values_
        && std::equal(subKeys_.begin(), subKeys_.end(), other.subKeys_.begin(), other.subKeys_.end(),
                      [](const auto &a, const auto &b) { return a.first == b.first && *a.second == *b.second; });
}

// ---- REGEDIT4 text --------------------------------------------------------

namespace {

QByteArray hexBytes(const QByteArray &bytes)
{
    return bytes.toHex(',');
}

// Escapes the CP932 bytes, never a trail byte: 0x5C is the second byte of
// many double-byte characters.
QByteArray quoted(const QString &text)
{
    const QByteArray bytes = ToCp932(text);
    QByteArray out("\"");
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (IsCp932LeadByte(static_cast<unsigned char>(c)) && i + 1 < bytes.size()) {
            out += c;
            out += bytes[++i];
            continue;
        }
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + '"';
}

QByteArray encodeMultiString(const QStringList &strings)
{
    QByteArray out;
    for (const QString &s : strings)
        out += ToCp932(s) + '\0';
    return out + '\0';
}

QByteArray valueLine(const RegValue &v)
{
    QByteArray line = v.name.isEmpty() ? QByteArray("@") : quoted(v.name);
    line += '=';
    switch (v.type) {
    case RegType::String:
        // A line break cannot stand between quotes; hex(1) holds the text as bytes.
        if (holdsLineBreak(v.text))
            return line + "hex(1):" + hexBytes(ToCp932(v.text) + '\0');
        return line + quoted(v.text);
    case RegType::DWord:
        return line + "dword:" + QByteArray::number(v.number, 16).rightJustified(8, '0');
    case RegType::Binary:
        return line + "hex:" + hexBytes(v.binary);
    case RegType::MultiString:
        return line + "hex(7):" + hexBytes(encodeMultiString(v.strings));
    }
    return line;
}

void appendKey(QByteArray &out, const RegKey &key, const QString &path)
{
    out += ToCp932(QLatin1Char('[') + path + QLatin1Char(']')) + "\r\n";
    for (const QString &name : key.valueNames())
        out += valueLine(*key.value(name)) + "\r\n";
    out += "\r\n";
    for (const QString &name : key.subKeyNames())
        appendKey(out, *key.key(name), path + QLatin1Char('\\') + name);
}

// Why a line was skipped.
struct LineError {
    QString reason;
};

QString decodeText(const QByteArray &bytes)
{
    QString text = FromCp932(bytes);
    // CP932 cannot hold U+FFFD: it only stands for bytes that were no CP932.
    if (text.contains(QChar(0xFFFD)))
        throw LineError{QStringLiteral("invalid CP932 text")};
    return text;
}

bool isHex(const QString &text, qsizetype maxDigits)
{
    return !text.isEmpty() && text.size() <= maxDigits && std::all_of(text.begin(), text.end(), [](QChar c) {
        return c.unicode() < 128 && std::isxdigit(c.unicode());
    });
}

// From the opening quote at pos; leaves pos after the closing quote.
QString parseQuoted(const QString &line, qsizetype &pos)
{
    QString out;
    for (++pos; pos < line.size(); ++pos) {
        if (line[pos] == QLatin1Char('"')) {
            ++pos;
            return out;
        }
        if (line[pos] == QLatin1Char('\\')) {
            ++pos;
            if (pos == line.size() || (line[pos] != QLatin1Char('\\') && line[pos] != QLatin1Char('"')))
                throw LineError{QStringLiteral("bad escape")};
        }
        out += line[pos];
    }
    throw LineError{QStringLiteral("unterminated string")};
}

QByteArray parseHex(const QString &text)
{
    QByteArray out;
    if (text.trimmed().isEmpty())
        return out;
    for (const QString &part : text.split(QLatin1Char(','))) {
        const QString digits = part.trimmed();
        if (!isHex(digits, 2))
            throw LineError{QStringLiteral("bad hex data")};
        out += static_cast<char>(digits.toUInt(nullptr, 16));
    }
    return out;
}

QStringList decodeMultiString(QByteArray bytes)
{
    if (bytes.endsWith('\0'))
        bytes.chop(1); // the list's final NUL
    if (bytes.isEmpty())
        return {};
    QList<QByteArray> parts = bytes.split('\0');
    if (parts.last().isEmpty())
        parts.removeLast(); // after the last string's own NUL
    QStringList out;
    for (const QByteArray &part : parts)
        out << decodeText(part);
    return out;
}

RegValue parseData(const QString &name, const QString &data)
{
    if (data.startsWith(QLatin1Char('"'))) {
        qsizetype pos = 0;
        QString text = parseQuoted(data, pos);
        if (pos != data.size())
            throw LineError{QStringLiteral("text after the closing quote")};
        return {.name = name, .type = RegType::String, .text = text};
    }
    const qsizetype colon = data.indexOf(QLatin1Char(':'));
    const QString type = data.left(colon).toLower();
    const QString rest = data.mid(colon + 1);
    if (colon < 0)
        throw LineError{QStringLiteral("unknown value type")};
    if (type == QLatin1String("dword")) {
        if (!isHex(rest, 8))
            throw LineError{QStringLiteral("bad dword")};
        return {.name = name, .type = RegType::DWord, .number = rest.toUInt(nullptr, 16)};
    }
    if (type == QLatin1String("hex"))
        return {.name = name, .type = RegType::Binary, .binary = parseHex(rest)};
    if (type == QLatin1String("hex(7)"))
        return {.name = name, .type = RegType::MultiString, .strings = decodeMultiString(parseHex(rest))};
    if (type == QLatin1String("hex(1)")) {
        QByteArray bytes = parseHex(rest);
        if (bytes.endsWith('\0'))
            bytes.chop(1);
        return {.name = name, .type = RegType::String, .text = decodeText(bytes)};
    }
    throw LineError{QStringLiteral("unknown value type")};
}

// Reads REGEDIT4 text line by line. With only set (a root's own file), keys of
// the other root and deletions are problems.
class Parser {
public:
    Parser(const QByteArray &text, std::optional<RootKey> only) : lines_(text.split('\n')), only_(only)
    {
        result.currentUser = RegKey(RootKeyName(RootKey::CurrentUser));
        result.localMachine = RegKey(RootKeyName(RootKey::LocalMachine));
        if (text.trimmed().isEmpty())
            return;
        if (lines_.first().trimmed() == "REGEDIT4")
            next_ = 1;
        else
            problem(1, QStringLiteral("missing REGEDIT4 header"));
        for (; next_ < lines_.size(); ++next_) {
            const qsizetype lineNumber = next_ + 1;
            try {
                parseLine(decodeText(lines_[next_]).trimmed());
            } catch (const LineError &e) {
                problem(lineNumber, e.reason);
            } catch (const RegistryError &e) {
                problem(lineNumber, QString::fromStdString(e.what()));
            }
        }
    }

    Regedit4Import result;

private:
    void problem(qsizetype lineNumber, const QString &reason)
    {
        result.problems << QStringLiteral("line %1: %2").arg(lineNumber).arg(reason);
    }

    void parseLine(const QString &line)
    {
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')))
            return;
        if (line.startsWith(QLatin1Char('['))) {
            current_ = nullptr; // values after a bad key line must not land in the key before it
            parseKeyLine(line);
        } else {
            parseValueLine(line);
        }
    }

    void parseKeyLine(const QString &line)
    {
        if (!line.endsWith(QLatin1Char(']')))
            throw LineError{QStringLiteral("unterminated key name")};
        const bool deletion = line.startsWith(QLatin1String("[-"));
        QStringList parts = splitPath(line.mid(deletion ? 2 : 1).chopped(1));
        if (parts.size() > MaxKeyDepth + 1)
            throw LineError{QStringLiteral("key path too deep")};
        const auto root = parts.isEmpty() ? std::nullopt : RootKeyFromName(parts.takeFirst());
        if (!root)
            throw LineError{QStringLiteral("unknown root key")};
        if (only_ && *root != *only_)
            throw LineError{QStringLiteral("key of another root")};
        if (only_ && deletion)
            throw LineError{QStringLiteral("key deletion in a registry file")};
        const bool user = *root == RootKey::CurrentUser;
        RegKey &tree = user ? result.currentUser : result.localMachine;
        const QString path = parts.join(QLatin1Char('\\'));
        if (!deletion) {
            current_ = &tree.createKey(path);
            return;
        }
        if (parts.isEmpty())
            throw LineError{QStringLiteral("a root key cannot be deleted")};
        tree.deleteKey(path);
        (user ? result.deletedCurrentUser : result.deletedLocalMachine) << path;
    }

    void parseValueLine(const QString &line)
    {
        qsizetype pos = 0;
        QString name;
        if (line.startsWith(QLatin1Char('"')))
            name = parseQuoted(line, pos);
        else if (line.startsWith(QLatin1Char('@')))
            pos = 1;
        else
            throw LineError{QStringLiteral("not a key or value")};
        while (pos < line.size() && line[pos].isSpace())
            ++pos;
        if (pos == line.size() || line[pos] != QLatin1Char('='))
            throw LineError{QStringLiteral("missing \"=\"")};
        QString data = line.mid(pos + 1).trimmed();
        if (data.startsWith(QLatin1String("hex"), Qt::CaseInsensitive)) {
            // Long hex data continues on lines that start with a hex digit.
            while (data.endsWith(QLatin1Char('\\')) && next_ + 1 < lines_.size()
                   && isHex(QString::fromLatin1(lines_[next_ + 1].trimmed().left(1)), 1)) {
                data.chop(1);
                data += decodeText(lines_[++next_]).trimmed();
            }
        }
        RegValue value = parseData(name, data);
        if (!current_)
            throw LineError{QStringLiteral("value outside a key")};
        current_->writeValue(std::move(value));
    }

    const QList<QByteArray> lines_;
    const std::optional<RootKey> only_;
    qsizetype next_ = 0;
    RegKey *current_ = nullptr;
};

Regedit4Import parse(const QByteArray &text, std::optional<RootKey> only)
{
    return Parser(text, only).result;
}

} // namespace

QByteArray ExportRegedit4(const RegKey &key, const QString &fullPath)
{
    QByteArray out("REGEDIT4\r\n\r\n");
    appendKey(out, key, fullPath);
    return out;
}

Regedit4Import ParseRegedit4(const QByteArray &cp932Text)
{
    return parse(cp932Text, std::nullopt);
}

// ---- the files -------------------------------------------------------------

QString RegistryDirectory()
{
    const QString dir = qEnvironmentVariable("KALVEX_REGISTRY_DIR");
    if (!dir.isEmpty())
        return dir;
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty())
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/kalvex-registry");
}

QString RegistryFilePath(RootKey root)
{
    return QDir(RegistryDirectory()).filePath(RootKeyName(root) + QStringLiteral(".reg"));
}

namespace {

[[noreturn]] void fail(const QString &what, const QString &path, const QString &why)
{
    throw RegistryError(QStringLiteral("%1 %2: %3").arg(what, path, why).toStdString());
}

void makeDirectory()
{
    const QString dir = RegistryDirectory();
    const QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    QDir().mkpath(QFileInfo(dir).absolutePath());
    if (!QDir().mkdir(dir, ownerOnly) && !QFileInfo(dir).isDir())
        fail(QStringLiteral("cannot create the registry folder"), dir, QStringLiteral("mkdir failed"));
}

// Keeps a file with unreadable lines beside it before it is rewritten without
// them; an earlier copy is never overwritten.
void keepBadCopy(const QString &path)
{
    QString bad = path + QStringLiteral(".bad");
    for (int n = 2; QFileInfo::exists(bad); ++n)
        bad = path + QStringLiteral(".bad.%1").arg(n);
    QFile file(path);
    if (!file.copy(bad))
        fail(QStringLiteral("cannot keep a copy of"), path, file.errorString());
}

} // namespace

RegistryRead LoadRegistry(RootKey root)
{
    const QString path = RegistryFilePath(root);
    RegistryRead read{RegKey(RootKeyName(root)), {}};
    if (!QFileInfo::exists(path))
        return read;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail(QStringLiteral("cannot read the registry file"), path, file.errorString());
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        fail(QStringLiteral("cannot read the registry file"), path, file.errorString());
    Regedit4Import parsed = parse(bytes, root);
    read.root = std::move(root == RootKey::CurrentUser ? parsed.currentUser : parsed.localMachine);
    read.problems = std::move(parsed.problems);
    return read;
}

void UpdateRegistry(RootKey root, const std::function<void(RegKey &root)> &edit)
{
    using namespace std::chrono_literals;
    const QString path = RegistryFilePath(root);
    makeDirectory();
    QLockFile lock(path + QStringLiteral(".lock"));
    // A lock naming a dead process is taken over at once. One whose owner died
    // before writing its process id names nobody: it is taken over when older
    // than the stale time, well within the wait. A live owner never loses its
    // lock this way, as it also holds an flock on the lock file.
    lock.setStaleLockTime(2s);
    if (!lock.tryLock(10s)) {
        fail(QStringLiteral("cannot lock the registry file"), path,
             lock.error() == QLockFile::LockFailedError ? QStringLiteral("another program holds it")
                                                        : QStringLiteral("cannot create the lock file"));
    }
    RegistryRead read = LoadRegistry(root);
    edit(read.root);
    if (!read.problems.isEmpty())
        keepBadCopy(path);
    const QByteArray bytes = ExportRegedit4(read.root, RootKeyName(root));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner)
        || file.write(bytes) != bytes.size() || !file.commit())
        fail(QStringLiteral("cannot write the registry file"), path, file.errorString());
}

} // namespace plat
