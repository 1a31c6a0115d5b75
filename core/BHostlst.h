#pragma once
// The host list: the file of HostRecords that keeps the hosts the user talks
// to, the operations on it shared by every thread, and the host list window.
#include "core/HostRecord.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <cstdint>

#include <memory>

// Record 0's Memo in every valid host list, whatever the file is called.
constexpr const char *HostListSignature = "Kalvex.lst";

extern QString HostListFile; // ListDirectory + "/" + ListFileName
// Records in the file including the header; written under HostListLock.
extern int HostListCount;
extern HostRecord CurrentHost; // the main window's target
extern HostRecord ForwardHost; // where forwarded TELs go

// Writes bytes to a new file beside path and renames it over path: a reader
// sees either the old file or the whole new one. The new file is mode 0600
// (files of records hold passwords). False with the reason in error.
bool ReplaceFile(const QString &path, const QByteArray &bytes, QString &error);

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

// Host index (1 .. HostListCount - 1) from the file; false outside that
// range or when it cannot be read.
bool ReadHostRecord(int index, HostRecord &record);
// Writes host index (1 .. HostListCount - 1) under HostListLock.
bool WriteHostRecord(int index, const HostRecord &record);
// Writes record as a new last host; its index, or 0 on an error.
int AppendHostRecord(const HostRecord &record);
// Removes host index; the hosts after it move up one place.
bool DeleteHostRecord(int index);
// Moves host from to place to; the hosts between shift one place towards from.
bool MoveHostRecord(int from, int to);
// Writes records 0 .. HostListCount - 1 as a new list file at path.
bool CopyHostList(const QString &path);
// Records in the list file at path when it is a host list, else 0.
int CountListRecords(const QString &path);

namespace Ui {
class TBHostListForm;
}
class QMenu;

class TBHostListForm : public QWidget {
    Q_OBJECT
public:
    explicit TBHostListForm(QWidget *parent = nullptr);
    ~TBHostListForm() override;

    // The window's components: public, because other windows fill and read them directly.
    const std::unique_ptr<Ui::TBHostListForm> ui;
    // Option's menu: UserID, OlcName, TelPWMenu, OlcPWMenu, OlcpVersion, RmtDishPW.
    QMenu *const PWPopupMenu;

    // Shows hosts 1 .. HostListCount - 1 as grid rows 1.. (table rows 0..).
    void FillHostGrid();
    // Shows version in the OLCPVer cell of host index while that row still
    // shows address.
    void ShowHostVersion(int index, const QString &address, const QString &version);

    std::uint8_t SelectResult = 2; // 1: a host was selected, 2: cancelled
    std::uint8_t Adding = 0;       // 1 while a new row is being written

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void ConnectHandlers();
    int SelectedRow() const;
    bool CurrentRecord(int &row, HostRecord &record) const;
    void FillEdits(int row);
    void ClearEdits();
    void DeselectRow();
    void SetRowCount(int hosts);
    void StoreRecord(int row, const HostRecord &record);

    // The edits show the selected host's fields; false when no host row is selected.
    bool ShowSelectedRow();
    void HostListGridClick();
    void SelectHost();
    void ExitButtonClick();
    void AddButtonClick();
    void SaveHostRow();
    void EditEnter(QWidget *next);
    void DeleteButtonClick();
    void HostListRowMoved(int from, int to);
    void LoadButtonClick();
    void SaveButtonClick();
    void OptionButtonClick();
    void EditHostField(const QString &kind);
    void OlcNameMenuClick();
    void ForwardButtonClick();
};

extern TBHostListForm *BHostListForm;
