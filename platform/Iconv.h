#pragma once
// One loop over iconv for the codecs of this layer (CP932, and the other
// Windows code pages that rich text names).
#include <QByteArray>

#include <iconv.h>

#include <cerrno>
#include <cstddef>
#include <utility>

namespace plat {

// Converts the whole input with cd, reset first. A sequence that cd refuses
// (invalid, or cut at the end) is replaced: onInvalid(bytes, bytesLeft)
// returns the replacement and how many input bytes it stands for. An iconv
// descriptor is not thread-safe: the caller owns cd or holds its lock.
template <typename OnInvalid>
QByteArray IconvAll(iconv_t cd, const QByteArray &input, OnInvalid onInvalid)
{
    QByteArray out;
    if (input.isEmpty() || cd == reinterpret_cast<iconv_t>(-1))
        return out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char *in = const_cast<char *>(input.constData());
    size_t inLeft = static_cast<size_t>(input.size());
    char buffer[4096];
    while (inLeft > 0) {
        char *dst = buffer;
        size_t dstLeft = sizeof buffer;
        const size_t rc = iconv(cd, &in, &inLeft, &dst, &dstLeft);
        out.append(buffer, static_cast<qsizetype>(dst - buffer));
        if (rc != static_cast<size_t>(-1) || errno == E2BIG)
            continue;
        const auto [replacement, skip] = onInvalid(reinterpret_cast<const unsigned char *>(in), inLeft);
        out.append(replacement);
        in += skip;
        inLeft -= skip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    return out;
}

} // namespace plat
