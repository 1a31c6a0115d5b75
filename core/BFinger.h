#pragma once
// The finger client window: asks the target host's finger service who is
// logged on, or about one user, and shows the answer. The exchange is
// blocking on the GUI thread (the sockets layer keeps the window alive
// meanwhile) and bounded by TimeOutValue; closing the window or the program
// breaks it off.
#include "core/HostRecord.h"
#include "platform/WinSock.h"

#include <QString>
#include <QWidget>

#include <memory>

namespace Ui {
class TBFingerForm;
}

// The answer is read into a buffer of this size; anything beyond is not read.
constexpr int FingerBufferSize = 5001;
// The query line (user name and CR LF) fits a 100-byte line: longer names are refused.
constexpr int MaxFingerUserName = 97;

class TBFingerForm : public QWidget {
    Q_OBJECT
public:
    explicit TBFingerForm(QWidget *parent = nullptr);
    ~TBFingerForm() override;

    // The window's components: public, because other windows fill and read them directly.
    const std::unique_ptr<Ui::TBFingerForm> ui;

    // The target: IpAddress is connected to, HostName heads the answer.
    HostRecord Host;

    // The main window's Finger command: the target, and the query controls
    // usable again after a failed connect.
    void SetTarget(const HostRecord &host);

    bool FingerConnect();
    // As WriteLog, into FingerMemo instead of the main window's memo.
    void FingerWrite(int level, const QString &text);
    void FingerQuery();
    // Closes the connection of a query in progress (or the socket still
    // connecting), which then ends at once: closing this window or the
    // program does not wait for the server.
    void BreakQuery();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void QueryOn(const QByteArray &userName);

    plat::SOCKET Socket = plat::INVALID_SOCKET;
    bool Querying = false;
};

extern TBFingerForm *BFingerForm;
