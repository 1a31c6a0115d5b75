#pragma once
// The sending side of a TEL conversation, for FakePeer scripts: each call
// writes one command with its data, in the receiver's wire forms. Opening the
// conversation (the handshake and the receiver's "ACK\r") is the script's own.
// Like the peer's helpers, the calls throw FakePeer::Failure when the
// connection ends.
#include "FakePeer.h"

#include <QByteArray>

namespace testsupport {

// The buffer element: the count, then the bytes.
void SendTelBuffer(FakePeer &peer, const QByteArray &bytes);

// "TEXT" and the body.
void SendTextTel(FakePeer &peer, const QByteArray &body);
// "FORWARD", the first sender's address and handle lines, and the body.
void SendForwardTel(FakePeer &peer, const QByteArray &address, const QByteArray &handle, const QByteArray &body);
// "FRPORT", the serial chat channel and the body.
void SendSerialTel(FakePeer &peer, qint32 channel, const QByteArray &body);
// "FILE" and the name; the file element follows only when the receiver
// answers "ACK\r". Returns the answer line.
QByteArray SendFileTel(FakePeer &peer, const QByteArray &name, const QByteArray &contents);
// "OFF": the conversation's end.
void SendTelOff(FakePeer &peer);

} // namespace testsupport
