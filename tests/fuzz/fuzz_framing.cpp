// The line, integer and buffer readers take whatever a peer sends: fed any
// stream through a socket, they never crash, hang or fill a buffer beyond
// its capacity, and each one either takes exactly its element off the stream
// or fails (after which the stream is out of step and reading stops).
//
// The input's first byte chooses the readers, two bits per step; the rest is
// the stream.
#include "core/BRegistr.h"
#include "core/BServer.h"
#include "tests/fuzz/FedSocket.h"

#include <QtEndian>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>

namespace {

// A buffer of 16 bytes and its NUL: longer buffers must be refused.
constexpr int SmallCapacity = 17;

// The part of the stream not yet taken by the readers.
struct Stream {
    QByteArray bytes;
    qsizetype at = 0;
    QByteArray rest() const { return bytes.mid(at); }
};

void Require(bool holds)
{
    if (!holds)
        std::abort();
}

qint32 IntegerAt(const QByteArray &bytes, qsizetype at)
{
    return qFromBigEndian<qint32>(bytes.constData() + at);
}

// A line of at most MaxRecvLineBytes before its CR, cut at a NUL.
bool ReadLine(plat::SOCKET s, Stream &in)
{
    QByteArray line;
    const bool ok = RecvString(s, line);
    const QByteArray rest = in.rest();
    const qsizetype cr = rest.left(MaxRecvLineBytes + 1).indexOf('\r');
    Require(ok == (cr >= 0));
    if (!ok)
        return false;
    QByteArray expected = rest.left(cr);
    if (const qsizetype nul = expected.indexOf('\0'); nul >= 0)
        expected.truncate(nul);
    Require(line == expected);
    in.at += cr + 1;
    return true;
}

bool ReadInteger(plat::SOCKET s, Stream &in)
{
    qint32 value = -1;
    const bool ok = RecvInteger(s, value);
    const QByteArray rest = in.rest();
    Require(ok == (rest.size() >= 4));
    Require(value == (ok ? IntegerAt(rest, 0) : 0));
    in.at += ok ? 4 : 0;
    return ok;
}

bool ReadBuffer(plat::SOCKET s, Stream &in, int capacity)
{
    QByteArray buffer("left over");
    int length = -1;
    const bool ok = RecvBuf(s, buffer, length, capacity);
    Require(buffer.size() <= capacity - 1);
    const QByteArray rest = in.rest();
    if (rest.size() < 4) {
        Require(!ok && length == 0 && buffer.isEmpty());
        return false;
    }
    const qint32 announced = IntegerAt(rest, 0);
    Require(length == announced);
    if (announced < 1) {
        Require(ok && buffer.isEmpty());
        in.at += 4;
        return true;
    }
    const bool fits = announced <= std::min(MaxBufBytes, capacity - 1);
    const bool complete = fits && rest.size() - 4 >= announced;
    Require(ok == complete);
    // What did arrive of a cut buffer is the start of the element.
    Require(rest.mid(4).startsWith(buffer) && (fits || buffer.isEmpty()));
    if (!ok)
        return false;
    Require(buffer.size() == announced);
    in.at += 4 + announced;
    return true;
}

bool ReadOne(int reader, plat::SOCKET s, Stream &in)
{
    switch (reader) {
    case 0:
        return ReadLine(s, in);
    case 1:
        return ReadInteger(s, in);
    case 2:
        return ReadBuffer(s, in, MaxBufBytes + 1);
    default:
        return ReadBuffer(s, in, SmallCapacity);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The stream always ends, so no read waits; should one wait, it ends soon.
    TimeOutValue = 1000;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::uint8_t choices = data[0];
    const FedSocket fed(data + 1, size - 1);
    plat::SetReceiveTimeout(fed.socket(), TimeOutValue);
    // Inputs of odd length are read as the server's side, under its deadlines.
    std::optional<ServedConversation> served;
    if (size % 2 == 1)
        served.emplace(fed.socket(), sockaddr_in{});
    Stream in{QByteArray(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1))};
    // Every successful read takes at least one byte, so this ends.
    for (int step = 0; ReadOne((choices >> (2 * (step % 4))) & 3, fed.socket(), in); ++step)
        ;
    return 0;
}
