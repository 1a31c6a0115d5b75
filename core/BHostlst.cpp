#include "core/BHostlst.h"

#include "core/BCommon.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "platform/DayDate.h"
#include "platform/RecordFile.h"
#include "platform/ShortString.h"

#include "ui_BHostlst.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unistd.h>

QString HostListFile;
int HostListCount = 0;
HostRecord CurrentHost;
HostRecord ForwardHost;

TBHostListForm *BHostListForm = nullptr;

namespace {

// The OLCP edition of this program; peers two or more editions ahead ask for
// an update.
constexpr int ThisEdition = 303;

void ReportFileError(const QString &error)
{
    WriteLog(ALPHA, QStringLiteral("Host List File : ") + error);
}

QString SystemError(const QString &what, const QString &path)
{
    return what + QLatin1Char(' ') + path + QStringLiteral(" : ") + QString::fromLocal8Bit(std::strerror(errno));
}

QString AddressOf(const QByteArray &image)
{
    return plat::DecodeShortString(image.constData() + HostRecordOffset::IpAddress, 16);
}

// Compared as stored bytes: the signature must match exactly, case and length included.
bool HasSignature(const QByteArray &header)
{
    return plat::DecodeShortBytes(header.constData() + HostRecordOffset::Memo, 80) == QByteArray(HostListSignature);
}

HostRecord HeaderRecord()
{
    HostRecord header;
    header.IpAddress = plat::FormatShortDate(QDateTime::currentDateTime());
    header.HostName = HeaderVersionText();
    header.Memo = QString::fromLatin1(HostListSignature);
    return header;
}

HostRecord LocalMachineRecord()
{
    HostRecord host;
    host.IpAddress = LocalAddresses.first();
    host.HostName = LocalHostName;
    host.Memo = QStringLiteral("Your Local Machine");
    host.OlcpVersion = QLatin1String(OlcpVersionText);
    return host;
}

// Writes bytes to a new file beside path and renames it over path: a reader
// sees either the old file or the whole new one. The new file is mode 0600
// (the list holds passwords).
bool ReplaceFile(const QString &path, const QByteArray &bytes, QString &error)
{
    QTemporaryFile temp(path + QStringLiteral(".XXXXXX"));
    if (!temp.open() || temp.write(bytes) != bytes.size() || !temp.flush()) {
        error = temp.errorString() + QStringLiteral(" (") + temp.fileTemplate() + QLatin1Char(')');
        return false;
    }
    if (::fsync(temp.handle()) != 0) {
        error = SystemError(QStringLiteral("Cannot write"), temp.fileName());
        return false;
    }
    if (::rename(QFile::encodeName(temp.fileName()).constData(), QFile::encodeName(path).constData()) != 0) {
        error = SystemError(QStringLiteral("Cannot replace"), path);
        return false;
    }
    temp.setAutoRemove(false);
    return true;
}

// Keeps a file that is not a host list as "<name>.bad" (replacing an older
// one), so that writing the default list loses nothing.
bool SetAsideForeignFile()
{
    const QString bad = HostListFile + QStringLiteral(".bad");
    if (::rename(QFile::encodeName(HostListFile).constData(), QFile::encodeName(bad).constData()) != 0) {
        ReportFileError(SystemError(QStringLiteral("Cannot rename"), HostListFile));
        return false;
    }
    WriteLog(ALPHA, QStringLiteral("Host List File : kept as ") + bad);
    return true;
}

// Leaves HostListFile holding a valid list; false when it cannot (reported).
bool PrepareHostListFile()
{
    plat::RecordFile file(HostListFile, HostRecord::Size);
    if (!file.open()) {
        if (!file.exists())
            return CreateDefaultHostList();
        ReportFileError(file.errorString());
        return false;
    }
    QByteArray header;
    const bool valid = file.read(0, header) && HasSignature(header);
    file.close();
    if (valid)
        return true;
    WriteLog(ALPHA, QStringLiteral("Host List File : Data Error !"));
    return SetAsideForeignFile() && CreateDefaultHostList();
}

int CountHostRecords()
{
    plat::RecordFile file(HostListFile, HostRecord::Size);
    if (!file.open()) {
        ReportFileError(file.errorString());
        return 0;
    }
    return static_cast<int>(std::min<qint64>(file.count(), INT_MAX));
}

bool OpenHostList(plat::RecordFile &file)
{
    if (file.open())
        return true;
    ReportFileError(file.errorString());
    return false;
}

// Replaces only the OlcpVersion bytes of a stored record: the other fields are
// written back exactly as they were read.
bool PatchVersion(plat::RecordFile &file, qint64 index, QByteArray &image, const QByteArray &field)
{
    image.replace(HostRecordOffset::OlcpVersion, field.size(), field);
    if (file.write(index, image))
        return true;
    ReportFileError(file.errorString());
    return false;
}

} // namespace

void LoadHostList()
{
    std::lock_guard lock(HostListLock);
    if (!QFileInfo(ListDirectory).isDir())
        ListDirectory = MainDirectory;
    HostListFile = ListDirectory + QLatin1Char('/') + ListFileName;
    HostListCount = PrepareHostListFile() ? CountHostRecords() : 0;
    if (HostListCount == 0)
        WriteLog(ALPHA, QStringLiteral("Host List File : not loaded, the host list is empty"));
}

bool CreateDefaultHostList()
{
    std::lock_guard lock(HostListLock);
    QByteArray image = HeaderRecord().encode();
    if (!LocalAddresses.isEmpty())
        image += LocalMachineRecord().encode();
    QString error;
    if (ReplaceFile(HostListFile, image, error))
        return true;
    ReportFileError(error);
    return false;
}

QStringList HostRecordToRow(const HostRecord &record)
{
    const auto set = [](bool filled) { return filled ? QStringLiteral("SET") : QString(); };
    return {set(!record.OlcName.isEmpty()), set(!record.TelPassword.isEmpty()), set(!record.OlcPassword.isEmpty()),
            record.IpAddress,               record.HostName,                    record.Handle,
            record.Memo,                    record.OlcpVersion};
}

QList<QStringList> HostListRows()
{
    std::lock_guard lock(HostListLock);
    QList<QStringList> rows;
    plat::RecordFile file(HostListFile, HostRecord::Size);
    if (HostListCount < 2 || !OpenHostList(file))
        return rows;
    QByteArray image;
    for (int i = 1; i < HostListCount && file.read(i, image); ++i)
        rows.append(HostRecordToRow(HostRecord::decode(image)));
    return rows;
}

int FindHostRecord(const QString &address, int startIndex, HostRecord &record)
{
    record = HostRecord();
    std::lock_guard lock(HostListLock);
    plat::RecordFile file(HostListFile, HostRecord::Size);
    if (startIndex >= HostListCount || !OpenHostList(file))
        return 0;
    QByteArray image;
    for (int i = std::max(startIndex, 1); file.read(i, image); ++i) {
        if (AddressOf(image) == address) {
            record = HostRecord::decode(image);
            return i;
        }
    }
    return 0;
}

bool RewriteHostVersion(int index, const QString &address, const QString &version)
{
    std::lock_guard lock(HostListLock);
    plat::RecordFile file(HostListFile, HostRecord::Size);
    if (!OpenHostList(file))
        return false;
    const QByteArray field = plat::EncodeShortString(version, 8);
    QByteArray image;
    if (index >= 1 && file.read(index, image) && AddressOf(image) == address)
        return PatchVersion(file, index, image, field);
    bool rewritten = false;
    for (int i = 1; file.read(i, image); ++i) {
        if (AddressOf(image) == address && PatchVersion(file, i, image, field))
            rewritten = true;
    }
    return rewritten;
}

void CheckOlcpVersion(int index, const QString &address, const QString &version)
{
    if (PeerVersionNumber(version) > ThisEdition + 1)
        ReqVersionUp = true;
    RewriteHostVersion(index, address, version);
}

TBHostListForm::TBHostListForm(QWidget *parent)
    : QWidget(parent, Qt::Window), ui(std::make_unique<Ui::TBHostListForm>())
{
    ui->setupUi(this);
}

TBHostListForm::~TBHostListForm() = default;
