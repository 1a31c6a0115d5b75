#pragma once
// The host list: the file of HostRecords that keeps the hosts the user talks
// to, the operations on it shared by every thread, and the host list window.
#include "core/HostRecord.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <memory>

// Record 0's Memo in every valid host list, whatever the file is called.
constexpr const char *HostListSignature = "Kalvex.lst";

extern QString HostListFile; // ListDirectory + "/" + ListFileName
// Records in the file including the header; written under HostListLock.
extern int HostListCount;
extern HostRecord CurrentHost; // the main window's target
extern HostRecord ForwardHost; // where forwarded TELs go

// Start-up, after the settings: binds HostListFile and counts its records.
// A missing file gets the default list. A file whose header is not a host
// list is kept as "<name>.bad" and replaced by the default list. A file that
// exists but cannot be opened is reported and left alone; the program then
// runs with HostListCount 0.
void LoadHostList();

// Writes a new list (header, and "Your Local Machine" when this machine has an
// address) over HostListFile through a temporary file, so the old list stays
// whole until the new one replaces it. False, with a log line, on an error.
bool CreateDefaultHostList();

// The grid cells of one host: OLC, TelPW, OlcPW (each "SET" or empty),
// IP Address, Host Name, Handle, Memo, OLCPVer.
QStringList HostRecordToRow(const HostRecord &record);
// The rows of hosts 1 .. HostListCount - 1, in file order.
QList<QStringList> HostListRows();

// Searches hosts startIndex .. end for IpAddress == address. Returns the
// host's index and its record, or 0 and a zero-filled record when none
// matches (at once when startIndex >= HostListCount).
int FindHostRecord(const QString &address, int startIndex, HostRecord &record);

// Stores version (cut to 8 bytes) as the OlcpVersion of host index when that
// host's address is address; otherwise (the list changed meanwhile, index 0
// or past the end) of every host with that address. Only the version field of
// a record changes. False when no record was rewritten.
bool RewriteHostVersion(int index, const QString &address, const QString &version);

// Called whenever a peer's version string ("OLCP303L") is seen: a peer two
// or more editions ahead sets ReqVersionUp; then the version is recorded as
// RewriteHostVersion does (index 0: every host with that address).
void CheckOlcpVersion(int index, const QString &address, const QString &version);

namespace Ui {
class TBHostListForm;
}

class TBHostListForm : public QWidget {
    Q_OBJECT
public:
    explicit TBHostListForm(QWidget *parent = nullptr);
    ~TBHostListForm() override;

    // The window's components: public, because other windows fill and read them directly.
    const std::unique_ptr<Ui::TBHostListForm> ui;
};

extern TBHostListForm *BHostListForm;
