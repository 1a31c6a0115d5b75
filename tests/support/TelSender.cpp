#include "TelSender.h"

namespace testsupport {

void SendTelBuffer(FakePeer &peer, const QByteArray &bytes)
{
    peer.sendInt(qint32(bytes.size()));
    peer.sendRaw(bytes);
}

void SendTextTel(FakePeer &peer, const QByteArray &body)
{
    peer.sendLine("TEXT\r");
    SendTelBuffer(peer, body);
}

void SendForwardTel(FakePeer &peer, const QByteArray &address, const QByteArray &handle, const QByteArray &body)
{
    peer.sendLine("FORWARD\r");
    peer.sendLine(address + '\r');
    peer.sendLine(handle + '\r');
    SendTelBuffer(peer, body);
}

void SendSerialTel(FakePeer &peer, qint32 channel, const QByteArray &body)
{
    peer.sendLine("FRPORT\r");
    peer.sendInt(channel);
    SendTelBuffer(peer, body);
}

QByteArray SendFileTel(FakePeer &peer, const QByteArray &name, const QByteArray &contents)
{
    peer.sendLine("FILE\r");
    peer.sendLine(name + '\r');
    const QByteArray answer = peer.expectLine();
    if (answer == "ACK\r")
        SendTelBuffer(peer, contents);
    return answer;
}

void SendTelOff(FakePeer &peer)
{
    peer.sendLine("OFF\r");
}

} // namespace testsupport
