#pragma once
// Local OLC stores prepared for the log window and maintenance tests: boards
// and their files made by the store module, messages, bodies, attachments
// and link records appended as the client and reader windows store them.
#include "core/BRegistr.h"
#include "core/MessageRecord.h"
#include "olc/OlcStore.h"
#include "platform/DayDate.h"
#include "platform/RecordFile.h"
#include "platform/WinSock.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>

#include <gtest/gtest.h>

#include <vector>

namespace olctest {

inline const QDateTime PostTime(QDate(2026, 3, 4), QTime(5, 6, 7));

class StoreBuilder {
public:
    // A store for the OLC name below OlcClientDirectory, set to root.
    StoreBuilder(const QString &root, const QString &olcName) : server(At(root, olcName)) {}

    static olc::ServerFolder At(const QString &root, const QString &olcName)
    {
        OlcClientDirectory = root;
        return olc::ServerFolder(olcName);
    }

    olc::ServerFolder server;
    std::vector<BoardRecord> boards{olc::MakeBoardHeader()};

    // Adds a board with its (empty) index and body file; write() puts the table down.
    BoardRecord &board(const QString &key, const QString &name, qint32 topMsg, bool files = true)
    {
        BoardRecord b;
        b.BoardKey = key;
        b.BoardName = name;
        b.TopMsg = topMsg;
        b.MsgNum = 10;
        b.BoardNumber = qint32(boards.size());
        boards.push_back(b);
        EXPECT_TRUE(olc::WriteBoardTable(server, boards));
        if (files) {
            EXPECT_TRUE(olc::PrepareBoardFiles(server, b));
        }
        return boards.back();
    }

    static MessageRecord Message(qint32 number, const QString &title = {})
    {
        MessageRecord r;
        r.Number = number;
        r.Title = title.isEmpty() ? QStringLiteral("Title %1").arg(number) : title;
        r.Address = plat::inet_addr(QStringLiteral("10.1.2.%1").arg(number % 250));
        r.Handle = QStringLiteral("Handle%1").arg(number);
        r.UserId = QStringLiteral("USER%1").arg(number);
        r.DateTime = plat::ToDayDate(PostTime);
        r.Start = -1;
        return r;
    }

    // A downloaded text message: its body appended to the board's text file.
    MessageRecord text(const QString &key, MessageRecord r, const QByteArray &body)
    {
        r.Start = qint32(plat::AppendToFile(server.boardText(key), body));
        r.Bytes = qint32(body.size());
        return index(server.boardIndex(key), r);
    }

    // A downloaded file message with its attachment file.
    MessageRecord file(const QString &key, MessageRecord r, const QString &fileName, const QByteArray &content)
    {
        r.Flags |= MessageRecord::FileFlag;
        r.FileName = fileName;
        r.Start = 0;
        r.Bytes = qint32(content.size());
        write(server.attachment(key, r.Number, fileName), content);
        return index(server.boardIndex(key), r);
    }

    MessageRecord index(const QString &path, const MessageRecord &r)
    {
        plat::RecordFile file(path, MessageRecord::Size);
        EXPECT_TRUE(file.open() || file.create());
        EXPECT_GE(file.append(r.encode()), 0);
        return r;
    }

    // The link store with its header record.
    void linkStore()
    {
        QDir().mkpath(server.linkFolder());
        write(server.linkText(), {});
        index(server.linkIndex(), MakeHeaderRecord(QStringLiteral("Link Access Data")));
    }

    // A link record held by message holder of board key; a body makes it a
    // downloaded text link.
    MessageRecord link(const QString &key, qint32 holder, qint32 linkIndex, const QByteArray &body, bool erased = false)
    {
        MessageRecord r = Message(900 + holder);
        r.AuxText2 = key;
        r.LinkHolder = holder;
        r.LinkIndex = linkIndex;
        r.Erased = erased;
        r.Start = qint32(plat::AppendToFile(server.linkText(), body));
        r.Bytes = qint32(body.size());
        return index(server.linkIndex(), r);
    }

    static void write(const QString &path, const QByteArray &bytes)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }
};

// Records 0.. of a record file.
inline std::vector<MessageRecord> Records(const QString &path)
{
    std::vector<MessageRecord> records;
    plat::RecordFile file(path, MessageRecord::Size);
    QByteArray image;
    if (file.open())
        for (qint64 r = 0; file.read(r, image); ++r)
            records.push_back(MessageRecord::decode(image));
    return records;
}

inline QByteArray Bytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every file below a folder with its bytes, by relative path.
inline QMap<QString, QByteArray> Snapshot(const QString &folder)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(folder).relativeFilePath(path), QFileInfo(path).isDir() ? QByteArray("<dir>") : Bytes(path));
    }
    return files;
}

} // namespace olctest
