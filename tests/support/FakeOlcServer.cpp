#include "FakeOlcServer.h"

#include "OlcpScripts.h"

#include <QtEndian>

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

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
    // The port is free again for the server of the next connection (a reader's).
    p.stopListening();
    ReadOlcpLogin(p, script_.version);
    p.sendLine("ACK\r" + Line(script_.answer));
    if (script_.answer != "ACK")
        return;
    const int version = OlcpVersionNumber(script_.version);
    if (version > ServerChannelVersion) {
        channelRequest_ = p.recvInt();
        if (channelRequest_ == 0)
            p.sendInt(script_.serverChannel);
    }
    bool listed = false; // a board list went out
    for (;;) {
        const QByteArray command = WithoutCr(p.expectLine());
        if (script_.onCommand)
            script_.onCommand(command);
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
            const std::vector<OlcBoardLine> &boards =
                std::exchange(listed, true) && !script_.reloadedBoards.empty() ? script_.reloadedBoards : script_.boards;
            p.sendRaw(script_.rawBoardList.isEmpty() ? BoardListBytes(qint32(boards.size()), boards, version)
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
            const QByteArray &raw =
                ++whoLists_ > 1 && !script_.rawLaterWhoList.isEmpty() ? script_.rawLaterWhoList : script_.rawWhoList;
            if (raw.isEmpty()) {
                p.sendRaw(WhoListBytes(qint32(script_.who.size()), script_.who));
            } else {
                p.sendRaw(raw);
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
        } else if (command == "READ") {
            return serveRead(p, channelRequest_ == -1);
        } else if (command == "POST") {
            return servePost(p);
        } else {
            note(command);
            if (command == "OFF")
                return;
        }
    }
}

QList<OlcPost> FakeOlcServer::posts() const
{
    std::lock_guard lock(mutex_);
    return posts_;
}

OlcReadBoard *FakeOlcServer::openBoard(FakePeer &p, const QByteArray &command)
{
    const QByteArray key = WithoutCr(p.expectLine());
    auto board = std::find_if(script_.readBoards.begin(), script_.readBoards.end(),
                              [&](const OlcReadBoard &b) { return b.key == key; });
    if (board == script_.readBoards.end()) {
        note(command + ' ' + key);
        p.sendLine("NAK\r");
        return nullptr;
    }
    p.sendLine("ACK\r");
    const QByteArray password = WithoutCr(p.expectLine());
    note(command + ' ' + key + ' ' + password);
    p.sendLine(password == board->password ? "ACK\r" : "NAK\r");
    return password == board->password ? &*board : nullptr;
}

void FakeOlcServer::sendBody(FakePeer &p, const OlcMessage &m)
{
    // A file element has the same form as a buffer: the size, then the bytes.
    p.sendRaw(m.rawBody.isEmpty() ? Buffer(m.body) : m.rawBody);
    if (m.hangUp)
        throw FakePeer::Failure("hung up after the body");
}

void FakeOlcServer::serveRead(FakePeer &p, bool linkMode)
{
    OlcReadBoard *board = openBoard(p, "READ");
    if (!board)
        return;
    if (linkMode) {
        const qint32 number = p.recvInt();
        note("LINK " + QByteArray::number(number));
        const auto found = board->messages.find(number);
        if (found == board->messages.end())
            return p.sendInt(-1);
        const OlcMessage &m = found->second;
        p.sendRaw(Int(m.number) + Line(m.boardName) + Line(m.title) + Int(m.flags) + Int(m.replyTo) +
                  Line(m.address) + Line(m.handle) + Line(m.dateTime) + Int(qint32(m.body.size())) +
                  Line(m.fileName) + Line(m.userId));
        sendBody(p, m);
        return note(WithoutCr(p.expectLine()));
    }
    for (;;) {
        const qint32 request = p.recvInt();
        note("REQUEST " + QByteArray::number(request));
        const auto found = board->messages.find(request);
        if (request > 0 && found != board->messages.end())
            sendBody(p, found->second);
        const QByteArray command = WithoutCr(p.expectLine());
        note(command);
        if (command != "NEXT")
            return;
    }
}

void FakeOlcServer::servePost(FakePeer &p)
{
    OlcReadBoard *board = openBoard(p, "POST");
    if (!board)
        return;
    p.sendLine(Line(board->postAnswer));
    for (;;) {
        const QByteArray command = WithoutCr(p.expectLine());
        note(command);
        if (command != "TEXT" && command != "FILE")
            return;
        p.sendLine(Line(board->textAnswer));
        if (board->textAnswer != "ACK")
            continue;
        OlcPost post;
        post.kind = command;
        post.replyTo = p.recvInt();
        post.title = WithoutCr(p.expectLine());
        if (command == "FILE")
            post.fileName = WithoutCr(p.expectLine());
        if (command == "FILE" && board->slowFile) {
            p.recvInt();
            for (;;) { // until the client hangs up
                p.recvRaw(1024);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        post.body = p.recvRaw(p.recvInt());
        std::lock_guard lock(mutex_);
        posts_.append(post);
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
