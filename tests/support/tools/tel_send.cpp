// tel_send: sends one text TEL to the OLCP server at an address, as a client
// of this system does, so that a TEL can come from a NetLab host:
//
//   tel_send [--handle H] [--password P] [--user-id U] ADDRESS FILE
//
// It logs in for "TEL" with the handle, password and user ID (text, sent as
// CP932), sends the bytes of FILE unchanged as one TEXT and ends with OFF.
// Exit status 0 once the receiver has taken the TEL; otherwise 1, and why on
// standard error.
#include "platform/Cp932.h"
#include "support/FakePeer.h"
#include "support/OlcpScripts.h"
#include "support/TelSender.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <cstdio>

using namespace testsupport;

namespace {

constexpr quint16 OlcpPort = 8011;

int Refuse(const QString &why)
{
    std::fprintf(stderr, "tel_send: %s\n", qPrintable(why));
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption handle(QStringLiteral("handle"), QStringLiteral("Handle of the sender."),
                                    QStringLiteral("handle"), QStringLiteral("tester"));
    const QCommandLineOption password(QStringLiteral("password"), QStringLiteral("TEL password of the receiver."),
                                      QStringLiteral("password"));
    const QCommandLineOption userId(QStringLiteral("user-id"), QStringLiteral("User ID of the sender."),
                                    QStringLiteral("id"), QStringLiteral("USER0001"));
    parser.addOptions({handle, password, userId});
    parser.addPositionalArgument(QStringLiteral("address"), QStringLiteral("IPv4 address of the receiver."));
    parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("The TEL's text, as CP932 bytes."));
    parser.process(app);
    if (parser.positionalArguments().size() != 2)
        return Refuse(QStringLiteral("usage: tel_send [--handle H] [--password P] [--user-id U] ADDRESS FILE"));

    QFile file(parser.positionalArguments().at(1));
    if (!file.open(QIODevice::ReadOnly))
        return Refuse(file.fileName() + QStringLiteral(": ") + file.errorString());
    const QByteArray body = file.readAll();

    OlcpLogin login;
    login.handle = plat::ToCp932(parser.value(handle));
    login.password = plat::ToCp932(parser.value(password));
    login.userId = plat::ToCp932(parser.value(userId));
    QString refused;
    auto peer = FakePeer::connect(parser.positionalArguments().at(0), OlcpPort, [&](FakePeer &p) {
        SendOlcpLogin(p, login);
        // The server's answer, then the TEL receiver's.
        for (int i = 0; i < 2; ++i) {
            const QByteArray answer = p.expectLine();
            if (answer != "ACK\r") {
                refused = QStringLiteral("refused: ") + QString::fromLatin1(answer.trimmed());
                return;
            }
        }
        SendTextTel(p, body);
        SendTelOff(p);
    });
    peer->wait();
    if (!peer->error().isEmpty())
        return Refuse(peer->error());
    if (!refused.isEmpty())
        return Refuse(refused);
    return 0;
}
