#pragma once
// The account list window: the user's accounts (Account.lst, one row per
// entry, table row = entry index - 1), presence announcements to their
// servers (ENTITY on a timer, QUIT at exit), the members present at one
// server (PRESENCE, answered by MEMBER datagrams) and a TEL to one of them.
//
// The UDP server thread reaches the window through AccountListSeam
// (core/BUdpServ.h), which this window fills: the answers are matched
// against Account.lst under AccountListLock there, and the grids are updated
// on the GUI thread.
#include "core/BUdpServ.h"
#include "tel/AccountRecord.h"

#include <QWidget>

#include <memory>

class QTableWidget;
class QTimer;

// The grids of the account windows: titles and the columns' own widths, one
// fixed column (no row header unless rows are dragged). FitAccountGrid widens
// a column where the font at hand needs more to show a text whole, and the
// grid's window where its columns would not all fit.
void SetAccountGrid(QTableWidget *grid, const QStringList &titles, const QList<int> &widths);
void FitAccountGrid(QTableWidget *grid);

namespace Ui {
class TBAccountListForm;
}

class TBAccountListForm : public QWidget {
    Q_OBJECT
public:
    explicit TBAccountListForm(QWidget *parent = nullptr);
    ~TBAccountListForm() override;

    // The window's components: public, because other windows fill and read them directly.
    const std::unique_ptr<Ui::TBAccountListForm> ui;
    QTimer *const EntityTimer;

    // Makes this the account list window and hands the UDP server's
    // handlers to it (AccountListSeam); start-up does it before the UDP
    // server starts, the destructor undoes it.
    void InstallSeams();
    // Start-up: grids, AccountListFile, LoadAccountList, the entity timer.
    void InitAccountList();
    // Reads Account.lst into the grid; a file that does not read (or has no
    // signature, which is logged) is rebuilt first.
    void LoadAccountList();
    // Writes Account.lst anew from the .acc files; the next pass reaches
    // servers of every version.
    void RebuildAccountList();
    // Shows entry index in its row (adding the row when it is the next one).
    void ShowAccountRow(int index, const AccountListRecord &entry);
    // A new interval for the entity timer; its enabled state is left alone.
    void SetEntityInterval(int milliseconds);
    // QUIT to every server that acknowledged this session's ENTITY.
    void SendQuitToAccounts();
    // One pass of the timer: ENTITY to every valid row not yet answered.
    void EntityTimerTimer();
    // The interval of a pass from ClientInterval minutes (below 1: 10).
    static int PassInterval(qint64 minutes);

    bool PresenceView() const { return Presence; }

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool event(QEvent *event) override;

private:
    void ConnectHandlers();
    void ShowView(bool presence);
    int SelectedIndex() const; // the selected entry's index; 0 when none
    QString Cell(int index, int column) const;
    void SetCell(int index, int column, const QString &text);
    bool Valid(int index) const;
    bool SendAccountUdp(const QString &command, const AccountListRecord &entry);
    void SendEntity(const AccountListRecord &entry);
    void SendPresenceRequest();
    void ShowOffButton(bool off);

    void ExitButtonClick();
    void EntityButtonClick();
    void StartTelToMember();
    void DeleteButtonClick();
    void OffButtonClick();
    void PresenceButtonClick();
    void RestructButtonClick();
    void AccountListGridClick();
    void AccountListGridRowMoved(int from, int to);
    void PresenceListGridClick();
    void ClientTimerCheckBoxClick();
    void ClientIntervalEditExit();

    // GUI thread: what the UDP handlers found.
    void ShowPresenceAnswer(const PresenceAnswer &answer, const QList<int> &indexes);
    void AddMember(const MemberEntry &member);

    bool AllVersions = false;
    bool ShiftFlag = false;
    bool Presence = false;
};

extern TBAccountListForm *BAccountListForm;
