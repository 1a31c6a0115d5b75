#pragma once
// A server that holds Stay TELs, as a send window meets it after the
// handshake: the "STAY" command with the account password once per
// conversation, then the addressee's user ID, answered with "ACK" and the
// addressee's handle. For FakePeer scripts; the helpers throw
// FakePeer::Failure when the connection ends.
#include "FakePeer.h"

#include <QByteArray>

namespace testsupport {

// Reads "STAY" and, with a password expected (the line as it goes on the
// wire, without its CR), that line, answered with answer ("ACK", "NAK", ...).
// An empty password means the client is already authorized: nothing is answered.
void ReadStayCommand(FakePeer &p, const QByteArray &password, const QByteArray &answer = "ACK");

// Reads the addressee's user ID and names its handle.
void NameAddressee(FakePeer &p, const QByteArray &userId, const QByteArray &handle);

} // namespace testsupport
