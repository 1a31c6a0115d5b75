#pragma once
// The user's accounts on account servers, as this program keeps them:
//  - AccountRecord, the 1024-byte image of one account in "<UserId>.acc" in
//    AccClientDirectory, and its line form on an OLCP connection (the fields
//    that the server's field list names, A to P in alphabetical order);
//  - Account.lst, a file of 127-byte AccountListRecords: a header, then one
//    entry per account server that carries one of the accounts.
//
// Every open-use-close of Account.lst happens under AccountListLock; where
// the host list is touched too, HostListLock is taken inside it. A user ID
// that came from a server or a file names a file only when it is a safe base
// name. Both files hold passwords: they are created mode 0600, and Account.lst
// is only ever replaced whole (a reader sees the old or the new list).
#include "core/HostRecord.h"
#include "platform/WinSock.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

// ---- the account record ---------------------------------------------------------

struct AccountFieldSpec {
    char Letter;
    int Offset;
    int Capacity; // 0 for a byte field (J, K, M)
    const char *Label;    // the form's label
    const char *Hint;     // the field's Japanese name, shown while it is edited
};
// The sixteen fields A to P in order.
extern const std::array<AccountFieldSpec, 16> AccountFields;
const AccountFieldSpec &AccountField(char letter); // letter 'A'..'P'

// Letters outside 'A'..'P' are ignored; order does not matter.
bool InFieldList(const QString &fieldList, char letter);

struct AccountRecord {
    static constexpr int Size = 1024;
    static constexpr int UserIdBytes = 8;

    QString UserId;
    char Level = 0; // the access letter
    // The CP932 bytes of the text fields, indexed by letter - 'A'; D holds the
    // password in its ConvertPassword form (raw bytes). Unused for J, K, M.
    std::array<QByteArray, 16> Texts;
    std::uint8_t Sex = 0; // J: 0 not given, 1 male, 2 female
    std::uint8_t Age = 0; // K: 0 not given
    std::uint8_t Os = 0;  // M: 0 not given, 1..7

    QByteArray &Text(char letter) { return Texts[size_t(letter - 'A')]; }
    const QByteArray &Text(char letter) const { return Texts[size_t(letter - 'A')]; }
    // J, K, M.
    std::uint8_t &Code(char letter);
    std::uint8_t Code(char letter) const;

    // The exact image: short strings cut on a character boundary, the reserved
    // tail zero.
    QByteArray encode() const;
    // A shorter buffer reads as zero-filled; length bytes are clamped.
    static AccountRecord decode(const QByteArray &bytes);
    bool operator==(const AccountRecord &) const = default;
};

// The line that carries field letter of record (without its CR).
QByteArray FieldLine(const AccountRecord &record, char letter);
// Stores a received line into field letter: texts cut to their capacity; J,
// K and M take a decimal number 0..255, anything else gives 0.
void StoreFieldLine(AccountRecord &record, char letter, const QByteArray &line);

// Sends the listed fields as lines; stops at the first failed send.
bool SendRecord(plat::SOCKET s, const QString &fieldList, const AccountRecord &record);
// Receives the listed fields; a line "NEW" is skipped once per field. Stops at
// the first failed receive: the fields after it keep their contents.
bool RecvRecord(plat::SOCKET s, const QString &fieldList, AccountRecord &record);

// The server's verdict after the record lines of a send or receive exchange.
enum class AccountVerdict {
    Failed,  // the connection failed
    Refused, // "NAK", or a user ID that cannot name a file
    Saved,   // record.UserId and record.Level set from the server
};
AccountVerdict RecvAccountVerdict(plat::SOCKET s, AccountRecord &record);

// "<AccClientDirectory>/<userId>.acc"; empty when userId is no safe file name.
QString AccountFilePath(const QString &userId);
// The record of an account file when the file holds one whole record.
std::optional<AccountRecord> ReadAccountFile(const QString &path);
// Writes the record as the whole file of its user ID (mode 0600 when new).
bool WriteAccountFile(const AccountRecord &record);

// ---- the account list -----------------------------------------------------------

struct AccountListRecord {
    static constexpr int Size = 127;

    QString IpAddress;     // the account server; empty: no known address
    QString HostName;
    QString OlcpVersion;   // the server's version string
    QString UserId;
    QByteArray Password;   // field D as stored (ConvertPassword form)
    QString Handle;        // field C
    std::uint8_t NoPresence = 0; // 1: the user opted out of presence there

    QByteArray encode() const;
    static AccountListRecord decode(const QByteArray &bytes);
    bool operator==(const AccountListRecord &) const = default;
};

// Header: creation date, the program's version text, "Account", "List".
QByteArray AccountListHeader();
// True when record 0 carries the signature "Account" (the rest is not checked).
bool HasAccountListSignature(const QByteArray &header);

// AccClientDirectory + "/Account.lst", bound by BindAccountListFile.
extern QString AccountListFile;
// Binds AccountListFile to AccClientDirectory (under AccountListLock): at
// start-up and whenever the account root folder moves.
void BindAccountListFile();
// Records of Account.lst including the header; guarded by AccountListLock.
extern int AccountListCount;

// The entries 1.. of Account.lst (under AccountListLock); nothing when the
// file cannot be read or has no signature.
std::optional<QList<AccountListRecord>> ReadAccountEntries();
// Replaces Account.lst by its record 0 as it stands (its creation date and
// version text are kept; a file without one gets a new header) and entries,
// under AccountListLock, and sets AccountListCount. False, with a log line,
// on an error: the old file stays.
bool WriteAccountEntries(const QList<AccountListRecord> &entries);

// The entries a rebuild makes of one account file: one per host of the host
// list whose account user ID is the record's (under HostListLock), or one
// without a server when none is. Empty, and the file deleted, when its name
// differs from its user ID; empty, the file kept and the reason logged, when
// it does not hold one whole record.
QList<AccountListRecord> AddAccountEntries(const QString &accFile);
// Writes a new Account.lst, with a new header, from the .acc files of
// AccClientDirectory.
bool RebuildAccountListFile();

// Steps of a saved account after the server's verdict: the .acc file, its
// Account.lst entry (the one with its user ID, else a new one) and, when
// host came from the host list and that record still has host's address,
// the host record's handle and user ID. Returns the entry's index and
// whether it is new; nothing on a file error (logged).
struct StoredAccount {
    int Index = 0;
    bool New = false;
    AccountListRecord Entry;
    bool HostUpdated = false;
};
std::optional<StoredAccount> StoreAccount(const AccountRecord &record, const HostRecord &host);
