#pragma once
// The account client window: holds one conversation with an account server,
// from the moment its client thread (TBAccClientThread, tel/BAccTrd.h) has
// connected, run the handshake and read the server's greeting, until it
// closes with "OFF". It acquires a new account, shows and updates the user's
// account, and, by the user's access letter, fetches the server's access log
// and user list.
//
// Started like every connection window, through AccountClientWindowKind
// (core/BLookup.h). The conversation runs on the GUI thread with the sockets
// layer's blocking hook; a close requested during a pending call breaks the
// connection and runs once the call has returned.
#include "core/ConnectionWindow.h"
#include "core/HostRecord.h"
#include "platform/WinSock.h"
#include "tel/AccountRecord.h"

#include <QString>
#include <QWidget>

#include <memory>

class QButtonGroup;
class QLineEdit;

namespace Ui {
class TBAccountClientForm;
}

// What the server says after its "ACK": the user's ID ("" for a new
// account), the letters of the fields it keeps, and the access letters from
// which its log and user lists may be read.
struct AccountGreeting {
    QString UserId;
    QString FieldList;
    char LogListLetter = 'A';
    char UserListLetter = 'A';
};

class TBAccountClientForm : public QWidget, public ConnectionWindowState {
    Q_OBJECT
public:
    // A hidden window holding its own copy of host (whose Channel is its channel).
    explicit TBAccountClientForm(const HostRecord &host, QWidget *parent = nullptr);
    ~TBAccountClientForm() override;

    const std::unique_ptr<Ui::TBAccountClientForm> ui;
    QButtonGroup *const SexGroup;
    QButtonGroup *const OsGroup;

    const HostRecord &Host() const { return TargetHost; }
    // Called by the client thread on the GUI thread: the conversation begins
    // on s and the window shows. False when the window is closing: the socket
    // stays the caller's.
    bool StartConversation(plat::SOCKET s, const HostRecord &host, const AccountGreeting &greeting);

protected:
    bool event(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    enum class Authorization { Granted, Stop };

    void FormShow();
    void FormClose();
    void SendButtonClick();
    void RecvButtonClick();
    void LogButtonClick();
    void UserButtonClick();
    void PageButtonClick();
    void PrintButtonClick();
    void RebootButtonClick();

    // The first listed letter after letter, up to 'P'; '@' (none) when there is none.
    static char NextFieldLetter(const QString &fieldList, char letter);
    void ShowFieldList();
    void ClearFields();
    void RecordToEdits();
    void EditsToRecord();
    void FocusField(char letter);
    void ShowPage(int page);
    QLineEdit *Edit(char letter) const;
    void EditEnter(char letter);
    void LeavePassword();

    // The password step of every button: the command with the account
    // password while not authorized, the shorter word once authorized.
    Authorization Authorize(const QString &command, const QString &authorizedCommand, bool quietRefusal = false);
    // The server's verdict after the record lines, and the account stored
    // here when the server saved it.
    enum class SaveOutcome {
        Failed,        // the connection failed: the window closes
        Refused,       // "NAK": nothing stored
        Saved,         // saved by the server and here
        NotStoredHere, // saved by the server; its file or list entry not written here
    };
    SaveOutcome SaveAccount();
    // Log and User: a click while the list shows returns to the account page.
    void ToggleList(bool log);
    void ShowAccountPage();
    bool RecvList(bool log);
    void UpdateListButtons();
    // A failed send or receive ends the account window: it closes once idle.
    bool Step(bool ok);

    HostRecord TargetHost;
    AccountGreeting Greeting;
    AccountRecord Account;
    char Current = '@';
    bool Authorized = false;
};

