#pragma once
// A scripted OLC server on a real TCP connection (FakePeer): the handshake
// with its answer and server channel, then LOGON, BOARD, ENTER, TITLE, REENT,
// LOGOFF and OFF served from tables of boards and titles. Each list can be
// replaced by raw bytes, so that tests send lists a real server never would.
// Everything the client asked for is noted in commands(), one line each.
#include "FakePeer.h"

#include <QByteArray>
#include <QList>

#include <atomic>
#include <functional>

#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace testsupport {

// One board as the BOARD list sends it.
struct OlcBoardLine {
    qint32 number = 1;
    QByteArray key, name;
    QByteArray password;   // the "PW" mark ("*" or empty)
    QByteArray readOnly;   // the "R/O" mark ("*", "ON" or empty)
    qint32 msgNum = 0, topMsg = 1, level = 0;
    QByteArray parent;
    QByteArray lastPost = "2024/05/06 07:08:09"; // sent by servers above version 210
    QByteArray enterPassword; // the board password ENTER must bring (the line as sent)
};

// One title as ENTER and TITLE send it.
struct OlcTitleLine {
    qint32 number = 1;
    QByteArray title;
    qint32 flags = 0, replyTo = 0;
    QByteArray address = "10.0.0.5", handle = "poster", dateTime = "2024/05/06 07:08:09";
    qint32 bytes = 0;
    QByteArray fileName, userId = "USER0001";
};

// One user of the WHO list.
struct OlcWhoLine {
    QByteArray port = "TCP1";
    qint32 number = 1;
    QByteArray address = "10.0.0.9", handle = "someone", userId = "USER0009";
    QByteArray logonTime = "2024/05/06 07:08:09";
    qint32 board = 1;
    QByteArray usingPort = "8011";
};

// The bytes of the lists, as a server puts them on the wire.
QByteArray BoardListBytes(qint32 count, const std::vector<OlcBoardLine> &boards, int serverVersion);
QByteArray TitleListBytes(qint32 count, const std::vector<OlcTitleLine> &titles);
QByteArray WhoListBytes(qint32 count, const std::vector<OlcWhoLine> &users);

// One message as READ sends it: a text body (buffer) or a file (file
// element); link readers get its header first.
struct OlcMessage {
    qint32 number = 1;
    QByteArray body;
    bool file = false;
    // The header a link reader receives.
    QByteArray boardName = "Linked Board", title = "linked", address = "10.0.0.9", handle = "linker",
               dateTime = "2024/05/06 07:08:09", fileName, userId = "USER0002";
    qint32 flags = 0, replyTo = 0;
    QByteArray rawBody; // sent in place of the body element when not empty
    bool hangUp = false; // the server hangs up right after the body
};

// A board as READ and POST find it.
struct OlcReadBoard {
    QByteArray key, password;
    std::map<qint32, OlcMessage> messages;
    QByteArray postAnswer = "ACK"; // the third answer to POST: "NAK" full, anything else read-only
    QByteArray textAnswer = "ACK"; // the answer to TEXT and FILE
    bool slowFile = false;         // takes a posted file a KiB every 10 ms, as a stalling line
};

// One post the server took.
struct OlcPost {
    QByteArray kind;   // "TEXT" or "FILE"
    qint32 replyTo = 0;
    QByteArray title, fileName, body;
};

struct OlcServerScript {
    QByteArray version = "OLCP303";
    QByteArray answer = "ACK";        // what follows the handshake's "ACK"
    qint32 serverChannel = 7;         // told to clients when version is above 200
    QByteArray logonReply = "ACK";    // anything else asks for the account password
    QByteArray accountPassword;       // the password line accepted then
    QByteArray welcome = "Welcome to the fake OLC server";
    QByteArray farewell = "See you";
    std::vector<OlcBoardLine> boards;
    QByteArray rawBoardList;          // sent instead of boards when not empty
    std::vector<OlcBoardLine> reloadedBoards; // sent for every BOARD after the first when not empty
    std::map<qint32, std::vector<OlcTitleLine>> titles; // by board number, ascending
    QByteArray rawTitleList;          // sent instead of each title list when not empty
    int titlesPerList = 1000;         // ENTER and each TITLE list at most this many
    std::vector<OlcReadBoard> readBoards; // what READ and POST connections find
    std::vector<OlcWhoLine> who;      // the WHO list
    QByteArray rawWhoList;            // sent instead of who when not empty
    QByteArray rawLaterWhoList;       // sent instead for the second and later WHO when not empty
    QByteArray maintenanceReply = "ACK\r"; // the answer to DELETE and UPDATE
    bool hangUpAfterReply = false;    // close the connection after a raw WHO list or a maintenance answer
    // Runs on the server's thread as each command line comes, before the
    // server reads on or answers (a test holds an answer there).
    std::function<void(const QByteArray &command)> onCommand;
};

class FakeOlcServer {
public:
    // Listens on 127.0.0.1:port and serves one client.
    explicit FakeOlcServer(OlcServerScript script, quint16 port = 8011);
    ~FakeOlcServer();

    FakePeer &peer() { return *peer_; }
    // The client's commands so far: "LOGON", "PASSWORD <line>", "BOARD",
    // "ENTER <board> <password> <first>", "TITLE", "REENT <board>", "WHO",
    // "DELETE <board> <number>", "UPDATE <board> <number> <title> <reply>"
    // (board: the board entered last), "LOGOFF", "OFF".
    QList<QByteArray> commands() const;
    // The integer the client sent before the server channel; -1 when none.
    // Readers and posters send the client's server channel there (-1 for a
    // link reader) and get no answer; only 0 is answered with the channel.
    qint32 channelRequest() const { return channelRequest_; }
    // What a reader asked for: "READ <key> <password>", "REQUEST <n>",
    // "NEXT", "LINK <n>"; a poster: "POST <key> <password>", "TEXT", "FILE".
    // The posts taken, in order.
    QList<OlcPost> posts() const;

private:
    void serve(FakePeer &p);
    void note(const QByteArray &command);
    void sendTitles(FakePeer &p);
    // A READ or POST connection, from its command line to "OFF".
    void serveRead(FakePeer &p, bool linkMode);
    void servePost(FakePeer &p);
    OlcReadBoard *openBoard(FakePeer &p, const QByteArray &command);
    void sendBody(FakePeer &p, const OlcMessage &m);
    // Answers the maintenance command; false when the script hangs up.
    bool answerMaintenance(FakePeer &p, const QByteArray &command);

    OlcServerScript script_;
    mutable std::mutex mutex_;
    QList<QByteArray> commands_;
    std::atomic<qint32> channelRequest_{-1};
    qint32 enteredBoard_ = 0;
    int whoLists_ = 0; // WHO lists sent
    std::map<qint32, qint32> lastSent_; // by board: the last title number listed
    QList<OlcPost> posts_;
    std::unique_ptr<FakePeer> peer_;
};

} // namespace testsupport
