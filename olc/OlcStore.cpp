#include "olc/OlcStore.h"

#include "core/BCommon.h"
#include "core/BRegistr.h"
#include "platform/DayDate.h"
#include "platform/PairReplace.h"
#include "platform/RecordImage.h"
#include "platform/ShortString.h"

#include <QDateTime>
#include <QDir>
#include <QSaveFile>

#include <algorithm>

namespace {

namespace O = BoardRecordOffset;
namespace C = BoardRecordCapacity;

// The reserved spans of a board record, kept end to end in Reserved.
struct Span {
    int offset, width;
};
constexpr Span ReservedSpans[] = {{128, 4}, {136, 8}, {152, 88}};
constexpr int ReservedBytes = 4 + 8 + 88;

std::uint8_t GetByte(const QByteArray &image, int offset)
{
    return static_cast<std::uint8_t>(image[offset]);
}

bool Fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

// The names of the server's own files, which no board key may take.
constexpr char LinkName[] = "OlcLink";
constexpr char WorkName[] = "Work$$$$";

// Zero-padded to width digits; a longer number keeps all its digits, so two
// messages never share a file name.
QString NumberText(qint64 number, int width)
{
    return QString::number(number).rightJustified(width, QLatin1Char('0'));
}

// Writes a record file whole through a temporary renamed over the old file.
bool WriteRecordsAtomically(const QString &path, const QByteArray &images, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(images) != images.size() || !file.commit())
        return Fail(error, path + QStringLiteral(": ") + file.errorString());
    return true;
}

} // namespace

QByteArray BoardRecord::encode() const
{
    QByteArray image(Size, '\0');
    plat::PutField(image, O::BoardKey, plat::EncodeShortString(BoardKey, C::BoardKey));
    plat::PutField(image, O::BoardName, plat::EncodeShortString(BoardName, C::BoardName));
    plat::PutField(image, O::BoardPassword, plat::EncodeShortBytes(BoardPassword, C::BoardPassword));
    image[O::ReadOnly] = static_cast<char>(ReadOnly);
    plat::PutLE<qint32>(image, O::ReadPtr, ReadPtr);
    plat::PutLE<qint32>(image, O::MsgNum, MsgNum);
    plat::PutLE<qint32>(image, O::TopMsg, TopMsg);
    image[O::Level] = static_cast<char>(Level);
    image[O::TextPriority] = static_cast<char>(TextPriority);
    image[O::HasPassword] = static_cast<char>(HasPassword);
    plat::PutField(image, O::ParentKey, plat::EncodeShortString(ParentKey, C::ParentKey));
    plat::PutLE<qint32>(image, O::BoardNumber, BoardNumber);
    plat::PutLE<qint32>(image, O::TopBias, TopBias);
    plat::PutLE<double>(image, O::LastPost, LastPost);
    int from = 0;
    for (const Span &span : ReservedSpans) {
        plat::PutField(image, span.offset, Reserved.mid(from, span.width).leftJustified(span.width, '\0'));
        from += span.width;
    }
    return image;
}

BoardRecord BoardRecord::decode(const QByteArray &bytes)
{
    const QByteArray image = bytes.left(Size).leftJustified(Size, '\0');
    BoardRecord r;
    r.BoardKey = plat::DecodeShortString(image.constData() + O::BoardKey, C::BoardKey);
    r.BoardName = plat::DecodeShortString(image.constData() + O::BoardName, C::BoardName);
    r.BoardPassword = plat::DecodeShortBytes(image.constData() + O::BoardPassword, C::BoardPassword);
    r.ReadOnly = GetByte(image, O::ReadOnly);
    r.ReadPtr = plat::GetLE<qint32>(image, O::ReadPtr);
    r.MsgNum = plat::GetLE<qint32>(image, O::MsgNum);
    r.TopMsg = plat::GetLE<qint32>(image, O::TopMsg);
    r.Level = GetByte(image, O::Level);
    r.TextPriority = GetByte(image, O::TextPriority);
    r.HasPassword = GetByte(image, O::HasPassword);
    r.ParentKey = plat::DecodeShortString(image.constData() + O::ParentKey, C::ParentKey);
    r.BoardNumber = plat::GetLE<qint32>(image, O::BoardNumber);
    r.TopBias = plat::GetLE<qint32>(image, O::TopBias);
    r.LastPost = plat::GetLE<double>(image, O::LastPost);
    for (const Span &span : ReservedSpans)
        r.Reserved += image.mid(span.offset, span.width);
    return r;
}

namespace olc {

BoardRecord MakeBoardHeader()
{
    BoardRecord header;
    // The short string keeps the first 8 bytes of the date ("yyyy/MM/").
    header.BoardKey = plat::FormatShortDate(QDateTime::currentDateTime());
    header.BoardName = HeaderVersionText();
    header.Reserved = QByteArray(ReservedBytes, '\0');
    return header;
}

// ---- file names ------------------------------------------------------------

ServerFolder::ServerFolder(const QString &olcName) : olcName_(SafeBaseName(olcName))
{
    if (!olcName_.isEmpty() && !OlcClientDirectory.isEmpty())
        folder_ = QDir::cleanPath(OlcClientDirectory + QLatin1Char('/') + olcName_) + QLatin1Char('/');
}

QString ServerFolder::inside(const QString &relative) const
{
    if (!valid())
        return {};
    const QString path = QDir::cleanPath(folder_ + relative);
    // Safe names cannot climb out; this guards the joins themselves.
    return path.startsWith(folder_) ? path : QString();
}

bool ServerFolder::usableBoardKey(const QString &key) const
{
    return !SafeBaseName(key).isEmpty() && key != olcName_ && key != QLatin1String(LinkName) &&
           key != QLatin1String(WorkName);
}

QString ServerFolder::boardTable() const
{
    return inside(olcName_ + QStringLiteral(".dat"));
}

QString ServerFolder::boardIndex(const QString &key) const
{
    return usableBoardKey(key) ? inside(key + QStringLiteral(".dat")) : QString();
}

QString ServerFolder::boardFolder(const QString &key) const
{
    return usableBoardKey(key) ? inside(key) + QLatin1Char('/') : QString();
}

QString ServerFolder::boardText(const QString &key) const
{
    return usableBoardKey(key) ? inside(key + QLatin1Char('/') + key + QStringLiteral(".txt")) : QString();
}

QString ServerFolder::flatLog(const QString &key) const
{
    return usableBoardKey(key) ? inside(key + QLatin1Char('/') + key + QStringLiteral(".log")) : QString();
}

QString ServerFolder::attachment(const QString &key, qint64 number, const QString &fileName) const
{
    if (!usableBoardKey(key) || SafeBaseName(fileName).isEmpty() || number < 0)
        return {};
    return inside(key + QLatin1Char('/') + NumberText(number, 5) + QLatin1Char('_') + fileName);
}

QString ServerFolder::linkIndex() const
{
    return inside(QLatin1String(LinkName) + QStringLiteral(".dat"));
}

QString ServerFolder::linkFolder() const
{
    return valid() ? inside(QLatin1String(LinkName)) + QLatin1Char('/') : QString();
}

QString ServerFolder::linkText() const
{
    return inside(QLatin1String(LinkName) + QLatin1Char('/') + QLatin1String(LinkName) + QStringLiteral(".txt"));
}

QString ServerFolder::linkAttachment(const QString &linkKey, qint64 number, int depth, const QString &fileName) const
{
    if (SafeBaseName(linkKey).isEmpty() || SafeBaseName(fileName).isEmpty() || number < 0 || depth < 0)
        return {};
    return inside(QLatin1String(LinkName) + QLatin1Char('/') + linkKey + QLatin1Char('_') + NumberText(number, 5) +
                  QLatin1Char('_') + NumberText(depth, 3) + QLatin1Char('_') + fileName);
}

QString ServerFolder::workIndex() const
{
    return inside(QLatin1String(WorkName) + QStringLiteral(".dat"));
}

QString ServerFolder::workText() const
{
    return inside(QLatin1String(WorkName) + QStringLiteral(".txt"));
}

QString ServerFolder::workIntent() const
{
    return inside(QLatin1String(WorkName) + QStringLiteral(".job"));
}

// ---- the board table -------------------------------------------------------

bool LoadBoardTable(const QString &path, std::vector<BoardRecord> &records, QString *error)
{
    records.clear();
    plat::RecordFile table(path, BoardRecord::Size);
    if (!table.exists())
        return true;
    if (!table.open())
        return Fail(error, table.errorString());
    const qint64 count = std::min<qint64>(table.count(), MaxBoards + 1);
    QByteArray image;
    for (qint64 i = 0; i < count; ++i) {
        if (!table.read(i, image))
            return Fail(error, table.errorString());
        records.push_back(BoardRecord::decode(image));
    }
    return true;
}

bool SaveBoardTable(const QString &path, const std::vector<BoardRecord> &boards, QString *error)
{
    QByteArray header;
    {
        plat::RecordFile table(path, BoardRecord::Size);
        if (!table.open() || !table.read(0, header))
            return Fail(error, path + QStringLiteral(": ") + table.errorString());
    }
    for (size_t i = 1; i < boards.size(); ++i)
        header += boards[i].encode();
    return WriteRecordsAtomically(path, header, error);
}

bool WriteBoardTable(const ServerFolder &server, const std::vector<BoardRecord> &records, QString *error)
{
    if (!server.valid())
        return Fail(error, QStringLiteral("unusable OLC name"));
    if (!QDir().mkpath(server.path()))
        return Fail(error, server.path() + QStringLiteral(": cannot create the folder"));
    QByteArray images;
    for (const BoardRecord &record : records)
        images += record.encode();
    if (!WriteRecordsAtomically(server.boardTable(), images, error))
        return false;
    // A board folder that cannot be made now is made again when its body file is.
    for (size_t i = 1; i < records.size(); ++i) {
        const QString folder = server.boardFolder(records[i].BoardKey);
        if (!folder.isEmpty())
            QDir().mkpath(folder);
    }
    return true;
}

bool PrepareBoardFiles(const ServerFolder &server, const BoardRecord &board, QString *error)
{
    const QString indexPath = server.boardIndex(board.BoardKey);
    const QString textPath = server.boardText(board.BoardKey);
    if (indexPath.isEmpty() || textPath.isEmpty())
        return Fail(error, QStringLiteral("unusable board key: ") + board.BoardKey);
    if (!plat::FinishPairReplace(server.workIntent(), error))
        return false;
    // The board folder lies inside the server folder: making it makes both.
    if (!QDir().mkpath(server.boardFolder(board.BoardKey)))
        return Fail(error, server.boardFolder(board.BoardKey) + QStringLiteral(": cannot create the folder"));
    plat::RecordFile index(indexPath, MessageRecord::Size);
    if (!index.exists() && !(index.create() && index.write(0, MakeHeaderRecord(board.BoardName).encode())))
        return Fail(error, index.errorString());
    QString failure;
    if (!plat::EnsureFileExists(textPath, &failure))
        return Fail(error, textPath + QStringLiteral(": ") + failure);
    return true;
}

bool PrepareLinkStore(const ServerFolder &server, QString *error)
{
    if (!server.valid() || !QDir().mkpath(server.linkFolder()))
        return Fail(error, server.linkFolder() + QStringLiteral(": cannot create the folder"));
    if (!plat::FinishPairReplace(server.workIntent(), error))
        return false;
    plat::RecordFile index(server.linkIndex(), MessageRecord::Size);
    if (!index.exists() &&
        !(index.create() && index.write(0, MakeHeaderRecord(QStringLiteral("Link Access Data")).encode())))
        return Fail(error, index.errorString());
    QString failure;
    if (!plat::EnsureFileExists(server.linkText(), &failure))
        return Fail(error, server.linkText() + QStringLiteral(": ") + failure);
    return true;
}

qint64 FindRecordOfNumber(const plat::RecordFile &index, qint64 number, qint64 hint)
{
    QByteArray image;
    const auto holds = [&](qint64 r) { return index.read(r, image) && MessageRecord::decode(image).Number == number; };
    if (hint >= 1 && holds(hint))
        return hint;
    for (qint64 r = index.count() - 1; r >= 1; --r) {
        if (holds(r))
            return r;
    }
    return 0;
}

bool StoreBodyPlace(plat::RecordFile &index, qint64 record, qint64 number, std::int32_t start, std::int32_t bytes)
{
    QByteArray image;
    if (record < 1 || !index.read(record, image) || MessageRecord::decode(image).Number != number)
        return false;
    qToLittleEndian(start, image.data() + MessageRecordOffset::Start);
    qToLittleEndian(bytes, image.data() + MessageRecordOffset::Bytes);
    return index.write(record, image);
}

// ---- title slots -----------------------------------------------------------

int TitleSlots::SlotOf(qint64 number, qint64 topMsg)
{
    const qint64 k = number - topMsg + 1;
    return k >= 1 && k <= MaxSlot ? static_cast<int>(k) : -1;
}

bool TitleSlots::load(const plat::RecordFile &index, qint64 topMsg)
{
    Slot.fill(0);
    LastSlot = 0;
    const qint64 count = index.count();
    if (count < 1 || count > INT32_MAX)
        return false;
    NextRecord = static_cast<std::int32_t>(count);
    QByteArray image;
    for (qint64 r = 1; r < count; ++r) {
        if (!index.read(r, image))
            return false;
        const int k = SlotOf(MessageRecord::decode(image).Number, topMsg);
        if (k > 0) {
            Slot[k] = static_cast<std::int32_t>(r);
            LastSlot = std::max(LastSlot, k);
        }
    }
    return true;
}

bool TitleSlots::store(plat::RecordFile &index, int k, const MessageRecord &record)
{
    if (k < 1 || k > MaxSlot)
        return false;
    if (Slot[k] == 0) {
        int m = k + 1;
        while (m <= LastSlot && Slot[m] == 0)
            ++m;
        if (m <= LastSlot) {
            // Make room in number order: the records from the next used slot's
            // on move one place towards the end.
            QByteArray image;
            for (qint64 r = NextRecord - 1; r >= Slot[m]; --r) {
                if (!index.read(r, image) || !index.write(r + 1, image))
                    return false;
            }
            Slot[k] = Slot[m];
            for (int j = m; j <= LastSlot; ++j) {
                if (Slot[j] > 0)
                    ++Slot[j];
            }
        } else {
            Slot[k] = NextRecord;
            LastSlot = k;
        }
        ++NextRecord;
    }
    return index.write(Slot[k], record.encode());
}

} // namespace olc
