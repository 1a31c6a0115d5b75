#include "tel/AccountRecord.h"

#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/BServer.h"
#include "platform/Cp932.h"
#include "platform/DayDate.h"
#include "platform/RecordFile.h"
#include "platform/ShortString.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <mutex>

const std::array<AccountFieldSpec, 16> AccountFields = {{
    {'A', 10, 48, "Name (Alphabet)", "名前(ﾛｰﾏ字)"},
    {'B', 59, 48, "Name (Kan-ji)", "名前(漢字)"},
    {'C', 108, 32, "Handle", "ﾊﾝﾄﾞﾙ"},
    {'D', 141, 8, "Password", "ﾊﾟｽﾜｰﾄﾞ"},
    {'E', 150, 32, "Nation", "国籍"},
    {'F', 183, 16, "〒 (Zip Code)", "郵便番号"},
    {'G', 200, 128, "Address", "住所"},
    {'H', 329, 16, "Phone", "電話番号"},
    {'I', 346, 48, "Mail Address", "ﾒｰﾙｱﾄﾞﾚｽ"},
    {'J', 395, 0, "Sex", "性別"},
    {'K', 396, 0, "Age", "年齢"},
    {'L', 397, 16, "Birthday", "誕生日"},
    {'M', 414, 0, "OS", "使用OS"},
    {'N', 415, 32, "Occupation", "職業"},
    {'O', 448, 64, "Working Place", "職場"},
    {'P', 513, 64, "Affiliation", "所属"},
}};

QString AccountListFile;
int AccountListCount = 0;

namespace {

constexpr int UserIdOffset = 0, LevelOffset = 9;
constexpr char NewLine[] = "NEW";

namespace ListOffset {
constexpr int IpAddress = 0, HostName = 17, OlcpVersion = 66, UserId = 75, Password = 84, Handle = 93,
              NoPresence = 126;
// The header's fields.
constexpr int Date = 0, Version = 17, Signature = 75, Name = 84;
} // namespace ListOffset
constexpr char ListSignature[] = "Account";
constexpr char ListName[] = "List";

void Put(QByteArray &image, int offset, const QByteArray &field)
{
    image.replace(offset, field.size(), field);
}

QString ShortText(const QByteArray &image, int offset, int capacity)
{
    return plat::DecodeShortString(image.constData() + offset, capacity);
}

} // namespace

const AccountFieldSpec &AccountField(char letter)
{
    return AccountFields[size_t(letter - 'A')];
}

bool InFieldList(const QString &fieldList, char letter)
{
    return fieldList.contains(QLatin1Char(letter));
}

std::uint8_t &AccountRecord::Code(char letter)
{
    return letter == 'J' ? Sex : letter == 'K' ? Age : Os;
}

std::uint8_t AccountRecord::Code(char letter) const
{
    return letter == 'J' ? Sex : letter == 'K' ? Age : Os;
}

QByteArray AccountRecord::encode() const
{
    QByteArray image(Size, '\0');
    Put(image, UserIdOffset, plat::EncodeShortString(UserId, UserIdBytes));
    image[LevelOffset] = Level;
    for (const AccountFieldSpec &f : AccountFields) {
        if (f.Capacity == 0)
            image[f.Offset] = char(Code(f.Letter));
        else
            Put(image, f.Offset, plat::EncodeShortBytes(plat::CutCp932(Text(f.Letter), f.Capacity), f.Capacity));
    }
    return image;
}

AccountRecord AccountRecord::decode(const QByteArray &bytes)
{
    QByteArray image = bytes.left(Size);
    image.append(QByteArray(Size - image.size(), '\0'));
    AccountRecord record;
    record.UserId = ShortText(image, UserIdOffset, UserIdBytes);
    record.Level = image[LevelOffset];
    for (const AccountFieldSpec &f : AccountFields) {
        if (f.Capacity == 0)
            record.Code(f.Letter) = std::uint8_t(image[f.Offset]);
        else
            record.Text(f.Letter) = plat::DecodeShortBytes(image.constData() + f.Offset, f.Capacity);
    }
    return record;
}

QByteArray FieldLine(const AccountRecord &record, char letter)
{
    if (AccountField(letter).Capacity == 0)
        return QByteArray::number(record.Code(letter));
    return record.Text(letter);
}

void StoreFieldLine(AccountRecord &record, char letter, const QByteArray &line)
{
    const int capacity = AccountField(letter).Capacity;
    if (capacity > 0) {
        // The password is raw bytes, the other fields CP932 text.
        record.Text(letter) = letter == 'D' ? line.left(capacity) : plat::CutCp932(line, capacity);
        return;
    }
    bool ok = false;
    const int value = line.toInt(&ok);
    record.Code(letter) = ok && value >= 0 && value <= 255 ? std::uint8_t(value) : 0;
}

bool SendRecord(plat::SOCKET s, const QString &fieldList, const AccountRecord &record)
{
    for (const AccountFieldSpec &f : AccountFields) {
        if (InFieldList(fieldList, f.Letter) && !SendString(s, FieldLine(record, f.Letter) + '\r'))
            return false;
    }
    return true;
}

bool RecvRecord(plat::SOCKET s, const QString &fieldList, AccountRecord &record)
{
    for (const AccountFieldSpec &f : AccountFields) {
        if (!InFieldList(fieldList, f.Letter))
            continue;
        QByteArray line;
        if (!RecvString(s, line) || (line == NewLine && !RecvString(s, line)))
            return false;
        StoreFieldLine(record, f.Letter, line);
    }
    return true;
}

AccountVerdict RecvAccountVerdict(plat::SOCKET s, AccountRecord &record)
{
    QString userId;
    if (!RecvString(s, userId))
        return AccountVerdict::Failed;
    if (userId == QLatin1String("NAK"))
        return AccountVerdict::Refused;
    QByteArray level;
    if (!RecvString(s, level))
        return AccountVerdict::Failed;
    // The user ID names the account's file.
    userId = plat::CutText(userId, AccountRecord::UserIdBytes);
    if (SafeBaseName(userId).isEmpty()) {
        WriteLog(ALPHA, QStringLiteral("*** Account : unusable user ID from the server : ") + EscapeControls(userId));
        return AccountVerdict::Refused;
    }
    record.UserId = userId;
    record.Level = level.isEmpty() ? '\0' : level[0];
    return AccountVerdict::Saved;
}

QString AccountFilePath(const QString &userId)
{
    const QString name = SafeBaseName(userId);
    return name.isEmpty() ? QString() : AccClientDirectory + QLatin1Char('/') + name + QStringLiteral(".acc");
}

std::optional<AccountRecord> ReadAccountFile(const QString &path)
{
    plat::RecordFile file(path, AccountRecord::Size);
    QByteArray image;
    if (!file.open() || !file.read(0, image))
        return std::nullopt;
    return AccountRecord::decode(image);
}

bool WriteAccountFile(const AccountRecord &record)
{
    const QString path = AccountFilePath(record.UserId);
    QString error = QStringLiteral("no user ID");
    if (!path.isEmpty() && QDir().mkpath(AccClientDirectory) && ReplaceFile(path, record.encode(), error))
        return true;
    WriteLog(ALPHA, QStringLiteral("*** Account File : ") + error);
    return false;
}

// ---- the account list -----------------------------------------------------------

QByteArray AccountListRecord::encode() const
{
    QByteArray image(Size, '\0');
    Put(image, ListOffset::IpAddress, plat::EncodeShortString(IpAddress, 16));
    Put(image, ListOffset::HostName, plat::EncodeShortString(HostName, 48));
    Put(image, ListOffset::OlcpVersion, plat::EncodeShortString(OlcpVersion, 8));
    Put(image, ListOffset::UserId, plat::EncodeShortString(UserId, 8));
    Put(image, ListOffset::Password, plat::EncodeShortBytes(Password.left(8), 8));
    Put(image, ListOffset::Handle, plat::EncodeShortString(Handle, 32));
    image[ListOffset::NoPresence] = char(NoPresence);
    return image;
}

AccountListRecord AccountListRecord::decode(const QByteArray &bytes)
{
    QByteArray image = bytes.left(Size);
    image.append(QByteArray(Size - image.size(), '\0'));
    AccountListRecord entry;
    entry.IpAddress = ShortText(image, ListOffset::IpAddress, 16);
    entry.HostName = ShortText(image, ListOffset::HostName, 48);
    entry.OlcpVersion = ShortText(image, ListOffset::OlcpVersion, 8);
    entry.UserId = ShortText(image, ListOffset::UserId, 8);
    entry.Password = plat::DecodeShortBytes(image.constData() + ListOffset::Password, 8);
    entry.Handle = ShortText(image, ListOffset::Handle, 32);
    entry.NoPresence = std::uint8_t(image[ListOffset::NoPresence]);
    return entry;
}

QByteArray AccountListHeader()
{
    QByteArray image(AccountListRecord::Size, '\0');
    Put(image, ListOffset::Date, plat::EncodeShortString(plat::FormatShortDate(QDateTime::currentDateTime()), 16));
    Put(image, ListOffset::Version, plat::EncodeShortString(HeaderVersionText(), 48));
    Put(image, ListOffset::Signature, plat::EncodeShortString(QLatin1String(ListSignature), 8));
    Put(image, ListOffset::Name, plat::EncodeShortString(QLatin1String(ListName), 8));
    return image;
}

bool HasAccountListSignature(const QByteArray &header)
{
    return header.size() == AccountListRecord::Size &&
           plat::DecodeShortBytes(header.constData() + ListOffset::Signature, 8) == ListSignature;
}

std::optional<QList<AccountListRecord>> ReadAccountEntries()
{
    std::lock_guard lock(AccountListLock);
    plat::RecordFile file(AccountListFile, AccountListRecord::Size);
    QByteArray record;
    if (!file.open() || !file.read(0, record) || !HasAccountListSignature(record))
        return std::nullopt;
    QList<AccountListRecord> entries;
    for (qint64 i = 1, n = file.count(); i < n; ++i) {
        if (!file.read(i, record))
            return std::nullopt;
        entries.append(AccountListRecord::decode(record));
    }
    return entries;
}

void BindAccountListFile()
{
    std::lock_guard lock(AccountListLock);
    AccountListFile = AccClientDirectory + QStringLiteral("/Account.lst");
}

namespace {

// The whole file in one atomic replace, so that a reader sees the old or the
// new list; under AccountListLock.
bool WriteAccountList(const QByteArray &header, const QList<AccountListRecord> &entries)
{
    QByteArray image = header;
    for (const AccountListRecord &entry : entries)
        image += entry.encode();
    QString error;
    if (!QDir().mkpath(QFileInfo(AccountListFile).path()) || !ReplaceFile(AccountListFile, image, error)) {
        WriteLog(ALPHA, QStringLiteral("*** Account List File : ") + (error.isEmpty() ? AccountListFile : error));
        return false;
    }
    AccountListCount = int(entries.size()) + 1;
    return true;
}

} // namespace

bool WriteAccountEntries(const QList<AccountListRecord> &entries)
{
    std::lock_guard lock(AccountListLock);
    plat::RecordFile file(AccountListFile, AccountListRecord::Size);
    QByteArray header;
    if (!file.open() || !file.read(0, header) || !HasAccountListSignature(header))
        header = AccountListHeader();
    file.close();
    return WriteAccountList(header, entries);
}

QList<AccountListRecord> AddAccountEntries(const QString &accFile)
{
    const std::optional<AccountRecord> record = ReadAccountFile(accFile);
    if (!record) {
        WriteLog(ALPHA, QStringLiteral("Account File : not read, skipped : ") + accFile);
        return {};
    }
    if (QFileInfo(accFile).completeBaseName() != record->UserId) {
        QFile::remove(accFile);
        return {};
    }
    AccountListRecord entry;
    entry.UserId = record->UserId;
    entry.Password = record->Text('D');
    entry.Handle = plat::FromCp932(record->Text('C'));
    QList<AccountListRecord> entries;
    std::lock_guard lock(HostListLock);
    for (int i = 1; i < HostListCount; ++i) {
        HostRecord host;
        if (!ReadHostRecord(i, host) || host.UserId != record->UserId)
            continue;
        entry.IpAddress = host.IpAddress;
        entry.HostName = host.HostName;
        entry.OlcpVersion = host.OlcpVersion;
        entries.append(entry);
    }
    if (entries.isEmpty())
        entries.append(entry);
    return entries;
}

bool RebuildAccountListFile()
{
    std::lock_guard lock(AccountListLock);
    QList<AccountListRecord> entries;
    const QDir folder(AccClientDirectory);
    for (const QString &name : folder.entryList({QStringLiteral("*.acc")}, QDir::Files | QDir::Hidden | QDir::System))
        entries += AddAccountEntries(folder.filePath(name));
    return WriteAccountList(AccountListHeader(), entries);
}

std::optional<StoredAccount> StoreAccount(const AccountRecord &record, const HostRecord &host)
{
    if (!WriteAccountFile(record))
        return std::nullopt;
    std::lock_guard lock(AccountListLock);
    std::optional<QList<AccountListRecord>> entries = ReadAccountEntries();
    // A list that does not read is made anew from the account files, this one included.
    if (!entries && (!RebuildAccountListFile() || !(entries = ReadAccountEntries())))
        return std::nullopt;
    StoredAccount stored;
    const auto found = std::find_if(entries->begin(), entries->end(),
                                     [&](const AccountListRecord &e) { return e.UserId == record.UserId; });
    stored.New = found == entries->end();
    stored.Index = int(found - entries->begin()) + 1;
    if (stored.New)
        entries->append(AccountListRecord());
    AccountListRecord &entry = (*entries)[stored.Index - 1];
    entry.UserId = record.UserId;
    entry.Password = record.Text('D');
    entry.Handle = plat::FromCp932(record.Text('C'));
    if (host.HostListIndex > 0) {
        std::lock_guard hostLock(HostListLock);
        HostRecord listed;
        if (ReadHostRecord(host.HostListIndex, listed) && listed.IpAddress == host.IpAddress) {
            listed.Handle = entry.Handle;
            listed.UserId = record.UserId;
            stored.HostUpdated = WriteHostRecord(host.HostListIndex, listed);
            entry.IpAddress = listed.IpAddress;
            entry.HostName = listed.HostName;
            entry.OlcpVersion = listed.OlcpVersion;
        }
    }
    if (!WriteAccountEntries(*entries))
        return std::nullopt;
    stored.Entry = entry;
    return stored;
}
