#pragma once
// PROVISIONAL: names of the local OLC store's files, used until the store
// module (olc/OlcStore.h) is merged; then replaced by its functions.
// folder is the server folder without a trailing separator.
#include <QString>

QString OlcBoardIndexPath(const QString &folder, const QString &key);
QString OlcBoardFolder(const QString &folder, const QString &key);
QString OlcBoardTextPath(const QString &folder, const QString &key);
QString OlcFlatLogPath(const QString &folder, const QString &key);
QString OlcBoardTablePath(const QString &folder);
// NNNNN_FileName
QString OlcAttachmentName(qint32 number, const QString &fileName);
QString OlcLinkIndexPath(const QString &folder);
QString OlcLinkFolder(const QString &folder);
QString OlcLinkTextPath(const QString &folder);
// LinkKey_NNNNN_DDD_FileName
QString OlcLinkAttachmentName(const QString &linkKey, qint32 holder, qint32 depth, const QString &fileName);

// PROVISIONAL until the store module is merged: the board table record.
#include <QByteArray>
#include <vector>
struct BoardRecord {
    static constexpr int Size = 240;
    QString BoardKey, BoardName;
    QByteArray BoardPassword;
    std::uint8_t ReadOnly = 0;
    qint32 ReadPtr = 0, MsgNum = 0, TopMsg = 0;
    std::uint8_t Level = 0, TextPriority = 0, HasPassword = 0;
    QString ParentKey;
    qint32 BoardNumber = 0, TopBias = 0;
    double LastPost = 0;
    QByteArray encode() const;
    static BoardRecord decode(const QByteArray &bytes);
};
