#include "olc/OlcLogStore.h"

#include "core/BCommon.h"

#include <QFileInfo>

QString OlcBoardIndexPath(const QString &folder, const QString &key)
{
    return folder + QLatin1Char('/') + key + QStringLiteral(".dat");
}

QString OlcBoardFolder(const QString &folder, const QString &key)
{
    return folder + QLatin1Char('/') + key;
}

QString OlcBoardTextPath(const QString &folder, const QString &key)
{
    return OlcBoardFolder(folder, key) + QLatin1Char('/') + key + QStringLiteral(".txt");
}

QString OlcFlatLogPath(const QString &folder, const QString &key)
{
    return OlcBoardFolder(folder, key) + QLatin1Char('/') + key + QStringLiteral(".log");
}

QString OlcBoardTablePath(const QString &folder)
{
    const QString name = QFileInfo(folder).fileName();
    return folder + QLatin1Char('/') + name + QStringLiteral(".dat");
}

QString OlcAttachmentName(qint32 number, const QString &fileName)
{
    return IntToZeroStr(number, 5) + QLatin1Char('_') + fileName;
}

QString OlcLinkIndexPath(const QString &folder)
{
    return folder + QStringLiteral("/OlcLink.dat");
}

QString OlcLinkFolder(const QString &folder)
{
    return folder + QStringLiteral("/OlcLink");
}

QString OlcLinkTextPath(const QString &folder)
{
    return OlcLinkFolder(folder) + QStringLiteral("/OlcLink.txt");
}

QString OlcLinkAttachmentName(const QString &linkKey, qint32 holder, qint32 depth, const QString &fileName)
{
    return linkKey + QLatin1Char('_') + IntToZeroStr(holder, 5) + QLatin1Char('_') + IntToZeroStr(depth, 3) +
           QLatin1Char('_') + fileName;
}

#include "platform/ShortString.h"
#include <QtEndian>

QByteArray BoardRecord::encode() const
{
    QByteArray b(Size, '\0');
    b.replace(0, 9, plat::EncodeShortString(BoardKey, 8));
    b.replace(9, 81, plat::EncodeShortString(BoardName, 80));
    b.replace(90, 9, plat::EncodeShortBytes(BoardPassword, 8));
    b[99] = char(ReadOnly);
    qToLittleEndian<qint32>(ReadPtr, b.data() + 100);
    qToLittleEndian<qint32>(MsgNum, b.data() + 104);
    qToLittleEndian<qint32>(TopMsg, b.data() + 108);
    b[112] = char(Level);
    b[113] = char(TextPriority);
    b[114] = char(HasPassword);
    b.replace(115, 9, plat::EncodeShortString(ParentKey, 8));
    qToLittleEndian<qint32>(BoardNumber, b.data() + 124);
    qToLittleEndian<qint32>(TopBias, b.data() + 132);
    qToLittleEndian<double>(LastPost, b.data() + 144);
    return b;
}

BoardRecord BoardRecord::decode(const QByteArray &bytes)
{
    QByteArray b = bytes.left(Size);
    b.resize(Size, '\0');
    BoardRecord r;
    r.BoardKey = plat::DecodeShortString(b.constData(), 8);
    r.BoardName = plat::DecodeShortString(b.constData() + 9, 80);
    r.BoardPassword = plat::DecodeShortBytes(b.constData() + 90, 8);
    r.ReadOnly = std::uint8_t(b[99]);
    r.ReadPtr = qFromLittleEndian<qint32>(b.constData() + 100);
    r.MsgNum = qFromLittleEndian<qint32>(b.constData() + 104);
    r.TopMsg = qFromLittleEndian<qint32>(b.constData() + 108);
    r.Level = std::uint8_t(b[112]);
    r.TextPriority = std::uint8_t(b[113]);
    r.HasPassword = std::uint8_t(b[114]);
    r.ParentKey = plat::DecodeShortString(b.constData() + 115, 8);
    r.BoardNumber = qFromLittleEndian<qint32>(b.constData() + 124);
    r.TopBias = qFromLittleEndian<qint32>(b.constData() + 132);
    r.LastPost = qFromLittleEndian<double>(b.constData() + 144);
    return r;
}
