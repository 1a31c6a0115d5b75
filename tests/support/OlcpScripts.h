#pragma once
// The OLCP handshake and the Stay TEL items as scripted peers speak them, for
// conversation tests on both sides of a connection.
#include "FakePeer.h"

#include <QByteArray>

namespace testsupport {

// What a client sends in its handshake; lines without their CR.
struct OlcpLogin {
    QByteArray version = "OLCP303L";
    QByteArray command = "TEL";
    QByteArray password; // the line as it goes on the wire
    QByteArray handle = "tester";
    QByteArray userId = "USER0001";
};

// The version number of a version line ("OLCP303L" -> 303; 0 when no number).
int OlcpVersionNumber(const QByteArray &versionLine);

// A client's side up to the server's answer: sends the version line, reads the
// server's, then sends the service, password and handle lines, and the user-ID
// line when both versions are 203 or more. Returns the server's version line
// without its CR. The answer is left for the script to read.
QByteArray SendOlcpLogin(FakePeer &p, const OlcpLogin &login);

// A server's side up to its answer: reads the client's version line, answers
// with serverVersion, then reads the service, password and handle lines, and
// the user-ID line when serverVersion is 203 or more.
OlcpLogin ReadOlcpLogin(FakePeer &p, const QByteArray &serverVersion);

// One Stay TEL item as a holder sends it: user ID, below version 203 a
// file-name line, handle and date-time lines, then the text as a buffer.
struct StayItem {
    QByteArray userId = "USER0001";
    QByteArray fileName; // sent to clients of servers below version 203 only
    QByteArray handle = "holder";
    QByteArray dateTime = "2024/05/06 07:08:09";
    QByteArray text;
};
void SendStayItem(FakePeer &p, int serverVersion, const StayItem &item);

} // namespace testsupport
