#include "olc/BOlcList.h"

#include "core/BServer.h"
#include "platform/Cp932.h"
#include "platform/DayDate.h"

#include <QDateTime>

#include <algorithm>
#include <limits>
#include <map>

namespace {

constexpr int UnreadWindow = 100; // at most this many messages count as unread after a board list
constexpr int ServerLastPostVersion = 210;

std::int32_t Clamp32(qint64 value)
{
    return static_cast<std::int32_t>(
        std::clamp<qint64>(value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// A server's date-time text; 0 when it does not parse.
double ServerDate(const QString &text)
{
    QDateTime date;
    return plat::ParseShortDate(text.trimmed(), date) ? plat::ToDayDate(date) : 0;
}

// The receives of one exchange: the first failure makes every later one fail too.
class Reader {
public:
    explicit Reader(plat::SOCKET s) : s_(s) {}
    bool ok() const { return ok_; }
    std::int32_t integer()
    {
        qint32 value = 0;
        ok_ = ok_ && RecvInteger(s_, value);
        return value;
    }
    QString text()
    {
        QString line;
        ok_ = ok_ && RecvString(s_, line);
        return line;
    }
    // A count: a negative one is none.
    std::int32_t count() { return std::max(0, integer()); }

private:
    plat::SOCKET s_;
    bool ok_ = true;
};

// One board as the list sends it, after its number.
BoardRecord ReceiveBoard(Reader &in, int serverVersion, std::int32_t number, const std::vector<BoardRecord> &saved)
{
    const QString key = plat::CutText(in.text(), BoardRecordCapacity::BoardKey);
    const auto known = std::find_if(saved.begin() + std::min<size_t>(1, saved.size()), saved.end(),
                                    [&](const BoardRecord &r) { return r.BoardKey == key; });
    BoardRecord board = known != saved.end() ? *known : BoardRecord::decode({});
    board.BoardNumber = number;
    board.BoardKey = key;
    board.BoardName = plat::CutText(in.text(), BoardRecordCapacity::BoardName);
    board.HasPassword = in.text() == QLatin1String("*");
    const QString readOnly = in.text();
    board.ReadOnly = readOnly == QLatin1String("*") || readOnly == QLatin1String("ON");
    board.MsgNum = in.integer();
    board.TopMsg = in.integer();
    board.Level = static_cast<std::uint8_t>(in.integer() & 0xFF);
    board.ParentKey = plat::CutText(in.text(), BoardRecordCapacity::ParentKey);
    if (serverVersion > ServerLastPostVersion)
        board.LastPost = ServerDate(in.text());
    board.ReadPtr = olc::RaisedReadPtr(board.ReadPtr, board.MsgNum, board.TopMsg);
    return board;
}

// The index record a title line updates: its stored record, or a new one.
MessageRecord ReceiveTitle(Reader &in, const plat::RecordFile &index, const olc::TitleSlots &titleSlots, int k,
                           std::int32_t number)
{
    MessageRecord title;
    QByteArray image;
    if (k > 0 && titleSlots.Slot[k] > 0 && index.read(titleSlots.Slot[k], image))
        title = MessageRecord::decode(image);
    title.Number = number;
    QString text = in.text();
    if (text.isEmpty())
        text = QLatin1String(olc::DeletedTitle);
    title.Title = plat::CutText(text, MessageRecordCapacity::Title);
    title.Deleted = title.Title == QLatin1String(olc::DeletedTitle);
    title.Flags = static_cast<std::uint8_t>(in.integer() & 0xFF);
    title.ReplyTo = in.integer();
    const quint32 address = HostToAddr(in.text());
    title.Address = address == INADDR_NONE ? 0 : address;
    title.Handle = plat::CutText(in.text(), MessageRecordCapacity::Handle);
    title.DateTime = ServerDate(in.text());
    title.Bytes = in.integer();
    title.FileName = plat::CutText(in.text(), MessageRecordCapacity::FileName);
    title.UserId = plat::CutText(in.text(), MessageRecordCapacity::UserId);
    return title;
}

} // namespace

namespace olc {

std::int32_t RaisedReadPtr(std::int32_t readPtr, std::int32_t msgNum, std::int32_t topMsg)
{
    qint64 raised = std::max<qint64>(readPtr, qint64(topMsg) - 1);
    if (msgNum > UnreadWindow)
        raised = std::max<qint64>(raised, qint64(topMsg) - 1 + msgNum - UnreadWindow);
    return Clamp32(raised);
}

bool ReceiveBoardList(plat::SOCKET s, int serverVersion, const ServerFolder &server,
                      const std::vector<BoardRecord> &saved, std::vector<BoardRecord> &live)
{
    Reader in(s);
    const std::int32_t count = in.count();
    std::vector<BoardRecord> boards{MakeBoardHeader()};
    for (std::int32_t i = 1; i <= count && in.ok(); ++i) {
        const std::int32_t number = in.integer();
        if (number < 1)
            break;
        BoardRecord board = ReceiveBoard(in, serverVersion, number, saved);
        // Every board is read, so the stream stays in step; only those that
        // fit the table and can name their own files are kept.
        const bool duplicate = std::any_of(boards.begin() + 1, boards.end(),
                                           [&](const BoardRecord &r) { return r.BoardKey == board.BoardKey; });
        if (in.ok() && boards.size() <= size_t(MaxBoards) && server.usableBoardKey(board.BoardKey) && !duplicate)
            boards.push_back(std::move(board));
    }
    if (!in.ok())
        return false;
    live = std::move(boards);
    return true;
}

void StartListing(BoardTitleCache &cache, const BoardRecord &board)
{
    cache.ListPtr = board.ReadPtr;
    cache.FirstWanted = Clamp32(std::max<qint64>(qint64(board.ReadPtr) - std::max(0, board.TopBias),
                                                 qint64(board.TopMsg) - 1));
    cache.LastListed = cache.ListPtr;
    cache.AtEnd = false;
    cache.Entered = true;
}

bool ReceiveTitles(plat::SOCKET s, plat::RecordFile &index, TitleSlots &titleSlots, std::int32_t topMsg,
                   std::int32_t &received)
{
    Reader in(s);
    received = 0;
    const std::int32_t count = in.count();
    for (std::int32_t i = 0; i < count && in.ok(); ++i) {
        const std::int32_t number = in.integer();
        const int k = TitleSlots::SlotOf(number, topMsg);
        MessageRecord title = ReceiveTitle(in, index, titleSlots, k, number);
        if (!in.ok() || k < 0)
            continue; // a number outside the titleSlots is read and skipped
        if (titleSlots.Slot[k] == 0)
            title.Start = -1;
        if (!titleSlots.store(index, k, title))
            return false;
        ++received;
    }
    return in.ok();
}

std::int32_t NewTitleCount(const BoardTitleCache &cache, std::int32_t received, bool firstEntry)
{
    qint64 count = received;
    if (firstEntry)
        count -= qint64(cache.ListPtr) - cache.FirstWanted;
    return Clamp32(std::max<qint64>(0, count));
}

std::int32_t RecordOfNumber(const TitleSlots &titleSlots, std::int32_t topMsg, qint64 number)
{
    const int k = TitleSlots::SlotOf(number, topMsg);
    return k > 0 ? titleSlots.Slot[k] : 0;
}

std::vector<MessageRecord> ReadTitles(const plat::RecordFile &index, const TitleSlots &titleSlots, std::int32_t topMsg,
                                      qint64 first, qint64 count)
{
    std::vector<MessageRecord> titles;
    QByteArray image;
    for (qint64 number = std::max<qint64>(first, topMsg); number < first + count; ++number) {
        const std::int32_t r = RecordOfNumber(titleSlots, topMsg, number);
        if (number - topMsg + 1 > MaxSlot)
            break;
        if (r > 0 && index.read(r, image))
            titles.push_back(MessageRecord::decode(image));
    }
    return titles;
}

std::vector<ReplyNode> BuildReplyTree(const plat::RecordFile &index, const TitleSlots &titleSlots, std::int32_t topMsg,
                                      std::int32_t number, int &selected)
{
    selected = -1;
    QByteArray image;
    auto recordOf = [&](qint64 n, MessageRecord &record) {
        const std::int32_t r = RecordOfNumber(titleSlots, topMsg, n);
        if (r < 1 || !index.read(r, image))
            return false;
        record = MessageRecord::decode(image);
        return true;
    };
    MessageRecord root;
    if (!recordOf(number, root))
        return {};
    // Each step goes to an older message, so the climb ends.
    MessageRecord parent;
    while (root.ReplyTo >= topMsg && root.ReplyTo < root.Number && recordOf(root.ReplyTo, parent))
        root = parent;

    std::vector<ReplyNode> nodes{{root, -1}};
    std::map<std::int32_t, int> nodeOfNumber{{root.Number, 0}};
    for (qint64 r = RecordOfNumber(titleSlots, topMsg, root.Number) + 1; index.read(r, image); ++r) {
        const MessageRecord record = MessageRecord::decode(image);
        const auto parentNode = nodeOfNumber.find(record.ReplyTo);
        if (record.ReplyTo == 0 || parentNode == nodeOfNumber.end() || nodeOfNumber.count(record.Number))
            continue;
        nodes.push_back({record, parentNode->second});
        nodeOfNumber.emplace(record.Number, int(nodes.size()) - 1);
    }
    const auto own = nodeOfNumber.find(number);
    if (own != nodeOfNumber.end())
        selected = own->second;
    return nodes;
}

std::vector<BoardPlace> PlaceBoards(const std::vector<BoardRecord> &boards)
{
    std::vector<BoardPlace> places;
    std::map<QString, int> placed;
    for (int level = 0; level <= 0xFF && places.size() + 1 < boards.size(); ++level) {
        for (int b = 1; b < int(boards.size()); ++b) {
            if (boards[size_t(b)].Level != level)
                continue;
            const auto parent = level == 0 ? placed.end() : placed.find(boards[size_t(b)].ParentKey);
            places.push_back({b, parent == placed.end() ? 0 : parent->second});
            placed.emplace(boards[size_t(b)].BoardKey, b);
        }
    }
    return places;
}

} // namespace olc
