#include "platform/ArchiverLh5.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <cstdint>
#include <queue>
#include <vector>

namespace plat {

namespace {

constexpr int WindowSize = 1 << 13;
constexpr int MinMatch = 3;
constexpr int MaxMatch = 256;
constexpr int MaxChain = 64; // match candidates tried per position

// Literals 0..255 and match lengths 3..256 share one table.
constexpr int LiteralAndLengthCodes = 256 + MaxMatch - MinMatch + 1;
// Distance codes: the bit length of distance - 1 (0 to 13 for the window).
constexpr int PositionCodes = 14;
// The code lengths of the literal table are coded themselves: lengths
// 1..16 and three kinds of runs of zeros.
constexpr int LengthTableCodes = 19;
// Bits of the symbol counts written before each table.
constexpr int LiteralCountBits = 9;
constexpr int PositionCountBits = 4;
constexpr int LengthTableCountBits = 5;
constexpr int MaxCodeLength = 16;
constexpr std::size_t BlockSymbols = 16384; // at most 65535 codes in a block

// One coded step: a literal (length 0) or a match.
struct Token {
    std::uint16_t literal;
    std::uint16_t length;
    std::uint16_t distance;
};

class BitWriter {
public:
    explicit BitWriter(qsizetype expected) { bytes_.reserve(std::size_t(expected)); }

    // The low count bits of value (count at most 16), the highest first.
    void put(int count, unsigned value)
    {
        pending_ = pending_ << count | (value & ((1u << count) - 1));
        used_ += count;
        if (used_ >= 32) {
            used_ -= 32;
            const std::uint32_t word = std::uint32_t(pending_ >> used_);
            bytes_.insert(bytes_.end(), {char(word >> 24), char(word >> 16), char(word >> 8), char(word)});
        }
    }
    QByteArray finish()
    {
        put((8 - used_ % 8) % 8, 0);
        for (; used_ > 0; used_ -= 8)
            bytes_.push_back(char(pending_ >> (used_ - 8)));
        return QByteArray(bytes_.data(), qsizetype(bytes_.size()));
    }

private:
    std::vector<char> bytes_;
    std::uint64_t pending_ = 0; // the bits not yet written are its lowest used_
    int used_ = 0;
};

// How many bytes from a and b agree, up to limit; eight at a time.
int MatchLength(const unsigned char *a, const unsigned char *b, int limit)
{
    int length = 0;
    for (; length + 8 <= limit; length += 8) {
        std::uint64_t x, y;
        std::memcpy(&x, a + length, sizeof x);
        std::memcpy(&y, b + length, sizeof y);
        if (x != y) {
            const std::uint64_t differ = x ^ y;
            const int bits = std::endian::native == std::endian::little ? std::countr_zero(differ)
                                                                        : std::countl_zero(differ);
            return length + bits / 8;
        }
    }
    while (length < limit && a[length] == b[length])
        ++length;
    return length;
}

// Greedy LZ77 with hash chains over three-byte prefixes, handing out its
// tokens a block at a time.
class MatchFinder {
public:
    explicit MatchFinder(const QByteArray &data)
        : bytes_(reinterpret_cast<const unsigned char *>(data.constData())), size_(int(data.size()))
    {
    }

    // The next tokens, at most count; none at the end of the data.
    void next(std::vector<Token> &tokens, std::size_t count)
    {
        tokens.clear();
        while (at_ < size_ && tokens.size() < count) {
            const auto [length, distance] = longestMatch();
            if (length >= MinMatch) {
                tokens.push_back({0, std::uint16_t(length), std::uint16_t(distance)});
                for (const int end = at_ + length; at_ < end; ++at_)
                    insert();
            } else {
                tokens.push_back({bytes_[at_], 0, 0});
                insert();
                ++at_;
            }
        }
    }

private:
    static constexpr int HashSize = 1 << 15;

    int hash(int at) const
    {
        return ((bytes_[at] << 10) ^ (bytes_[at + 1] << 5) ^ bytes_[at + 2]) & (HashSize - 1);
    }
    // Puts the current position at the head of its chain.
    void insert()
    {
        if (at_ + MinMatch <= size_) {
            int &first = head_[std::size_t(hash(at_))];
            previous_[std::size_t(at_ & (WindowSize - 1))] = first;
            first = at_;
        }
    }
    // The longest match for the current position among the latest
    // MaxChain candidates of its chain within the window, the nearest of
    // equal ones: its length (0 for none) and distance.
    std::pair<int, int> longestMatch() const
    {
        int bestLength = 0, bestDistance = 0;
        if (at_ + MinMatch > size_)
            return {0, 0};
        const int limit = std::min(MaxMatch, size_ - at_);
        int candidate = head_[std::size_t(hash(at_))];
        for (int tries = 0; candidate >= 0 && at_ - candidate <= WindowSize && tries < MaxChain; ++tries) {
            // Only a longer match counts, and it agrees where the best one ends.
            if (bytes_[candidate + bestLength] == bytes_[at_ + bestLength]) {
                const int length = MatchLength(bytes_ + candidate, bytes_ + at_, limit);
                if (length > bestLength) {
                    bestLength = length;
                    bestDistance = at_ - candidate;
                    if (length == limit)
                        break; // none can be longer
                }
            }
            candidate = previous_[std::size_t(candidate & (WindowSize - 1))];
        }
        return {bestLength, bestDistance};
    }

    const unsigned char *bytes_;
    int size_;
    int at_ = 0;
    std::vector<int> head_ = std::vector<int>(HashSize, -1);
    // The chains need only reach back one window: a ring of window size.
    std::vector<int> previous_ = std::vector<int>(WindowSize, -1);
};

// Huffman code lengths of at most MaxCodeLength bits for the frequencies;
// all 0 when fewer than two symbols occur (the table then names its one
// symbol instead).
std::vector<int> CodeLengths(std::vector<unsigned> frequencies)
{
    const std::size_t count = frequencies.size();
    std::vector<int> lengths(count, 0);
    if (std::count_if(frequencies.cbegin(), frequencies.cend(), [](unsigned f) { return f > 0; }) < 2)
        return lengths;
    for (;;) {
        // Nodes 0..count-1 are symbols, the rest inner nodes.
        std::vector<int> parent(2 * count, -1);
        using Node = std::pair<std::uint64_t, int>;
        std::priority_queue<Node, std::vector<Node>, std::greater<>> queue;
        for (std::size_t i = 0; i < count; ++i) {
            if (frequencies[i] > 0)
                queue.push({frequencies[i], int(i)});
        }
        int next = int(count);
        while (queue.size() > 1) {
            const Node a = queue.top();
            queue.pop();
            const Node b = queue.top();
            queue.pop();
            parent[std::size_t(a.second)] = parent[std::size_t(b.second)] = next;
            queue.push({a.first + b.first, next++});
        }
        int longest = 0;
        for (std::size_t i = 0; i < count; ++i) {
            if (frequencies[i] == 0)
                continue;
            int depth = 0;
            for (int node = int(i); parent[std::size_t(node)] >= 0; node = parent[std::size_t(node)])
                ++depth;
            lengths[i] = depth;
            longest = std::max(longest, depth);
        }
        if (longest <= MaxCodeLength)
            return lengths;
        for (unsigned &f : frequencies)
            f = f > 0 ? (f >> 1) | 1 : 0;
    }
}

// Canonical codes: shorter codes first, equal lengths in symbol order.
std::vector<unsigned> Codes(const std::vector<int> &lengths)
{
    std::array<unsigned, MaxCodeLength + 2> perLength{}, next{};
    for (const int length : lengths)
        ++perLength[std::size_t(length)];
    for (std::size_t length = 1; length <= MaxCodeLength; ++length)
        next[length + 1] = (next[length] + perLength[length]) << 1;
    std::vector<unsigned> codes(lengths.size(), 0);
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        if (lengths[i] > 0)
            codes[i] = next[std::size_t(lengths[i])]++;
    }
    return codes;
}

// One Huffman table: its lengths and codes, or its single symbol.
struct Table {
    std::vector<int> lengths;
    std::vector<unsigned> codes;
    int only = 0; // the symbol when at most one occurs

    explicit Table(const std::vector<unsigned> &frequencies)
        : lengths(CodeLengths(frequencies)), codes(Codes(lengths))
    {
        const auto used = std::find_if(frequencies.cbegin(), frequencies.cend(), [](unsigned f) { return f > 0; });
        only = used == frequencies.cend() ? 0 : int(used - frequencies.cbegin());
    }
    bool single() const { return std::all_of(lengths.cbegin(), lengths.cend(), [](int l) { return l == 0; }); }
    void put(BitWriter &out, int symbol) const { out.put(lengths[std::size_t(symbol)], codes[std::size_t(symbol)]); }
};

// The bit length of a match's offset (distance - 1).
int PositionCode(unsigned offset)
{
    return std::bit_width(offset);
}

// The lengths of a small table (the length table or the position table):
// 3 bits each, 7 and more as 1 bits ended by a 0; after the third, with
// `special`, a 2-bit count of zero lengths that follow.
void PutSmallTable(BitWriter &out, const Table &table, int countBits, int special)
{
    if (table.single()) {
        out.put(countBits, 0);
        out.put(countBits, unsigned(table.only));
        return;
    }
    int n = int(table.lengths.size());
    while (n > 0 && table.lengths[std::size_t(n) - 1] == 0)
        --n;
    out.put(countBits, unsigned(n));
    for (int i = 0; i < n;) {
        const int length = table.lengths[std::size_t(i++)];
        if (length <= 6)
            out.put(3, unsigned(length));
        else
            out.put(length - 3, (1u << (length - 3)) - 2);
        if (i == special) {
            int zeros = 0;
            while (zeros < 3 && i < n && table.lengths[std::size_t(i)] == 0) {
                ++i;
                ++zeros;
            }
            out.put(2, unsigned(zeros));
        }
    }
}

// The literal and length table's code lengths as length-table symbols:
// 0 one zero, 1 three to 18 zeros (4 more bits), 2 twenty and more zeros
// (9 more bits), 3 + k a length of k.
struct LengthStep {
    int symbol;
    int extraBits;
    unsigned extra;
};

std::vector<LengthStep> LengthSteps(const std::vector<int> &lengths)
{
    int n = int(lengths.size());
    while (n > 0 && lengths[std::size_t(n) - 1] == 0)
        --n;
    std::vector<LengthStep> steps;
    for (int i = 0; i < n;) {
        const int length = lengths[std::size_t(i++)];
        if (length != 0) {
            steps.push_back({length + 2, 0, 0});
            continue;
        }
        int zeros = 1;
        while (i < n && lengths[std::size_t(i)] == 0) {
            ++i;
            ++zeros;
        }
        if (zeros <= 2) {
            steps.insert(steps.end(), std::size_t(zeros), LengthStep{0, 0, 0});
        } else if (zeros <= 18) {
            steps.push_back({1, 4, unsigned(zeros - 3)});
        } else if (zeros == 19) {
            steps.push_back({0, 0, 0});
            steps.push_back({1, 4, 15});
        } else {
            steps.push_back({2, LiteralCountBits, unsigned(zeros - 20)});
        }
    }
    return steps;
}

void PutBlock(BitWriter &out, const Token *tokens, std::size_t count)
{
    std::vector<unsigned> literalFrequencies(LiteralAndLengthCodes, 0), positionFrequencies(PositionCodes, 0);
    for (std::size_t i = 0; i < count; ++i) {
        const Token &token = tokens[i];
        if (token.length == 0) {
            ++literalFrequencies[token.literal];
        } else {
            ++literalFrequencies[std::size_t(256 + token.length - MinMatch)];
            ++positionFrequencies[std::size_t(PositionCode(token.distance - 1u))];
        }
    }
    const Table literals(literalFrequencies);
    const Table positions(positionFrequencies);
    out.put(16, unsigned(count));
    if (literals.single()) {
        out.put(LengthTableCountBits, 0);
        out.put(LengthTableCountBits, 0);
        out.put(LiteralCountBits, 0);
        out.put(LiteralCountBits, unsigned(literals.only));
    } else {
        int n = LiteralAndLengthCodes;
        while (n > 0 && literals.lengths[std::size_t(n) - 1] == 0)
            --n;
        const std::vector<LengthStep> steps = LengthSteps(literals.lengths);
        std::vector<unsigned> stepFrequencies(LengthTableCodes, 0);
        for (const LengthStep &step : steps)
            ++stepFrequencies[std::size_t(step.symbol)];
        const Table lengthTable(stepFrequencies);
        PutSmallTable(out, lengthTable, LengthTableCountBits, 3);
        out.put(LiteralCountBits, unsigned(n));
        for (const LengthStep &step : steps) {
            lengthTable.put(out, step.symbol);
            out.put(step.extraBits, step.extra);
        }
    }
    PutSmallTable(out, positions, PositionCountBits, -1);
    for (std::size_t i = 0; i < count; ++i) {
        const Token &token = tokens[i];
        if (token.length == 0) {
            literals.put(out, token.literal);
            continue;
        }
        literals.put(out, 256 + token.length - MinMatch);
        const unsigned offset = token.distance - 1u;
        const int code = PositionCode(offset);
        positions.put(out, code);
        if (code > 1)
            out.put(code - 1, offset & ((1u << (code - 1)) - 1));
    }
}

} // namespace

QByteArray CompressLh5(const QByteArray &data)
{
    // A block's tokens are coded before the next are found, so that memory
    // stays small for a large file.
    MatchFinder matches(data);
    BitWriter out(data.size() / 2);
    std::vector<Token> block;
    for (matches.next(block, BlockSymbols); !block.empty(); matches.next(block, BlockSymbols))
        PutBlock(out, block.data(), block.size());
    return out.finish();
}

} // namespace plat
