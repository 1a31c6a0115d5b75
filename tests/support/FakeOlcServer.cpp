#include "FakeOlcServer.h"

#include "OlcpScripts.h"

#include <QtEndian>

#include <algorithm>

namespace testsupport {

namespace {

constexpr int ServerChannelVersion = 200;
constexpr int LastPostVersion = 210;

QByteArray Int(qint32 value)
{
    QByteArray bytes(4, '\0');
    qToBigEndian(value, bytes.data());
    return bytes;
}

QByteArray Line(const QByteArray &text)
{
    return text + '\r';
}

QByteArray Buffer(const QByteArray &bytes)
{
    return Int(qint32(bytes.size())) + bytes;
}

QByteArray WithoutCr(QByteArray line)
{
    line.chop(1);
    return line;
}

} // namespace

QByteArray BoardListBytes(qint32 count, const std::vector<OlcBoardLine> &boards, int serverVersion)
{
    QByteArray bytes = Int(count);
    for (const OlcBoardLine &b : boards) {
        bytes += Int(b.number) + Line(b.key) + Line(b.name) + Line(b.password) + Line(b.readOnly) + Int(b.msgNum) +
                 Int(b.topMsg) + Int(b.level) + Line(b.parent);
        if (serverVersion > LastPostVersion)
            bytes += Line(b.lastPost);
    }
    return bytes;
}

QByteArray TitleListBytes(qint32 count, const std::vector<OlcTitleLine> &titles)
{
    QByteArray bytes = Int(count);
    for (const OlcTitleLine &t : titles) {
        bytes += Int(t.number) + Line(t.title) + Int(t.flags) + Int(t.replyTo) + Line(t.address) + Line(t.handle) +
                 Line(t.dateTime) + Int(t.bytes) + Line(t.fileName) + Line(t.userId);
    }
    return bytes;
}

QByteArray WhoListBytes(qint32 count, const std::vector<OlcWhoLine> &users)
{
    QByteArray bytes = Int(count);
    for (const OlcWhoLine &u : users) {
        bytes += Line(u.port) + Int(u.number) + Line(u.address) + Line(u.handle) + Line(u.userId) +
                 Line(u.logonTime) + Int(u.board) + Line(u.usingPort);
    }
    return bytes;
}

FakeOlcServer::FakeOlcServer(OlcServerScript script, quint16 port) : script_(std::move(script))
{
    peer_ = FakePeer::listen([this](FakePeer &p) { serve(p); }, port);
}

FakeOlcServer::~FakeOlcServer() = default;

QList<QByteArray> FakeOlcServer::commands() const
{
    std::lock_guard lock(mutex_);
    return commands_;
}

void FakeOlcServer::note(const QByteArray &command)
{
    std::lock_guard lock(mutex_);
    commands_.append(command);
}

void FakeOlcServer::serve(FakePeer &p)
{
    ReadOlcpLogin(p, script_.version);
    p.sendLine("ACK\r" + Line(script_.answer));
    if (script_.answer != "ACK")
        return;
    const int version = OlcpVersionNumber(script_.version);
    if (version > ServerChannelVersion) {
        channelRequest_ = p.recvInt();
        p.sendInt(script_.serverChannel);
    }
    for (;;) {
        const QByteArray command = WithoutCr(p.expectLine());
        if (command == "LOGON") {
            note(command);
            p.sendLine(Line(script_.logonReply));
            if (script_.logonReply != "ACK") {
                const QByteArray password = WithoutCr(p.expectLine());
                note("PASSWORD " + password);
                if (password == "CAN")
                    continue;
                const bool accepted = password == script_.accountPassword;
                p.sendLine(accepted ? "ACK\r" : "NAK\r");
                if (!accepted)
                    continue;
            }
            p.sendRaw(Buffer(script_.welcome));
        } else if (command == "BOARD") {
            note(command);
            p.sendRaw(script_.rawBoardList.isEmpty()
                          ? BoardListBytes(qint32(script_.boards.size()), script_.boards, version)
                          : script_.rawBoardList);
        } else if (command == "ENTER") {
            const qint32 board = p.recvInt();
            const QByteArray password = WithoutCr(p.expectLine());
            const qint32 first = p.recvInt();
            note("ENTER " + QByteArray::number(board) + ' ' + password + ' ' + QByteArray::number(first));
            const auto wanted = std::find_if(script_.boards.begin(), script_.boards.end(),
                                             [&](const OlcBoardLine &b) { return b.number == board; });
            if (wanted == script_.boards.end() || wanted->enterPassword != password) {
                p.sendLine("NAK\r");
                continue;
            }
            p.sendLine("ACK\r");
            enteredBoard_ = board;
            lastSent_[board] = first;
            sendTitles(p);
        } else if (command == "TITLE") {
            note(command);
            sendTitles(p);
        } else if (command == "REENT") {
            enteredBoard_ = p.recvInt();
            note("REENT " + QByteArray::number(enteredBoard_));
        } else if (command == "WHO") {
            note(command);
            if (script_.rawWhoList.isEmpty()) {
                p.sendRaw(WhoListBytes(qint32(script_.who.size()), script_.who));
            } else {
                p.sendRaw(script_.rawWhoList);
                if (script_.hangUpAfterReply)
                    return;
            }
        } else if (command == "DELETE") {
            const qint32 number = p.recvInt();
            if (!answerMaintenance(p, "DELETE " + QByteArray::number(enteredBoard_) + ' ' + QByteArray::number(number)))
                return;
        } else if (command == "UPDATE") {
            const qint32 number = p.recvInt();
            const QByteArray title = WithoutCr(p.expectLine());
            const qint32 reply = p.recvInt();
            if (!answerMaintenance(p, "UPDATE " + QByteArray::number(enteredBoard_) + ' ' + QByteArray::number(number) +
                                          ' ' + title + ' ' + QByteArray::number(reply)))
                return;
        } else if (command == "LOGOFF") {
            note(command);
            p.sendRaw(Buffer(script_.farewell));
        } else {
            note(command);
            if (command == "OFF")
                return;
        }
    }
}

bool FakeOlcServer::answerMaintenance(FakePeer &p, const QByteArray &command)
{
    note(command);
    p.sendRaw(script_.maintenanceReply);
    return !script_.hangUpAfterReply;
}

void FakeOlcServer::sendTitles(FakePeer &p)
{
    if (!script_.rawTitleList.isEmpty())
        return p.sendRaw(script_.rawTitleList);
    std::vector<OlcTitleLine> list;
    qint32 &last = lastSent_[enteredBoard_];
    for (const OlcTitleLine &t : script_.titles[enteredBoard_]) {
        if (t.number > last && int(list.size()) < script_.titlesPerList)
            list.push_back(t);
    }
    if (!list.empty())
        last = list.back().number;
    p.sendRaw(TitleListBytes(qint32(list.size()), list));
}

} // namespace testsupport
