#pragma once
// Fields of exact record images (the files' fixed-size records): integers
// little-endian at their offsets, and whole fields copied in place.
#include <QByteArray>
#include <QtEndian>

#include <cstring>

namespace plat {

template <typename T>
void PutLE(QByteArray &image, int offset, T value)
{
    qToLittleEndian<T>(value, image.data() + offset);
}

template <typename T>
T GetLE(const QByteArray &image, int offset)
{
    return qFromLittleEndian<T>(image.constData() + offset);
}

// Copies field into image at offset; the image must have room for it.
inline void PutField(QByteArray &image, int offset, const QByteArray &field)
{
    std::memcpy(image.data() + offset, field.constData(), static_cast<size_t>(field.size()));
}

} // namespace plat
