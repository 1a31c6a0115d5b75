#include "support/Metafiles.h"

#include <QtGlobal>

namespace {

// Little-endian writer for the metafiles below.
struct Records {
    QByteArray bytes;
    Records &u16(quint32 v) { return bytes += char(v), bytes += char(v >> 8), *this; }
    Records &u32(quint32 v) { return u16(v).u16(v >> 16); }
};

quint32 ColourRef(QColor c) { return qRgb(c.blue(), c.green(), c.red()) & 0xffffff; }

} // namespace

// A placeable WMF, width x height at 96 dpi: a solid brush, a rectangle
// inset by 10 units, the end record.
QByteArray Wmf(QColor fill, int width, int height)
{
    Records body;
    const auto record = [&](quint16 function, std::initializer_list<quint16> params) {
        body.u32(3 + quint32(params.size())).u16(function);
        for (quint16 p : params)
            body.u16(p);
    };
    const quint32 colour = ColourRef(fill);
    record(0x020B, {0, 0});                                       // window origin
    record(0x020C, {quint16(height), quint16(width)});            // window extent
    record(0x02FC, {0, quint16(colour), quint16(colour >> 16), 0}); // solid brush
    record(0x012D, {0});                                          // select it
    record(0x041B, {quint16(height - 10), quint16(width - 10), 10, 10});
    record(0x0000, {});
    Records header; // placeable (frame at 96 units an inch, no checksum), then the metafile's own
    header.u32(0x9AC6CDD7).u16(0).u16(0).u16(0).u16(width).u16(height).u16(96).u32(0).u16(0);
    header.u16(1).u16(9).u16(0x0300).u32(quint32(18 + body.bytes.size()) / 2).u16(1).u32(7).u16(0);
    return header.bytes + body.bytes;
}

// An EMF of width x height device units: header, solid brush, rectangle inset by 10, end.
QByteArray Emf(QColor fill, int width, int height)
{
    Records body;
    body.u32(39).u32(24).u32(1).u32(0).u32(ColourRef(fill)).u32(0); // brush 1
    body.u32(37).u32(12).u32(1);                                    // select it
    body.u32(43).u32(24).u32(10).u32(10).u32(width - 10).u32(height - 10);
    body.u32(14).u32(20).u32(0).u32(16).u32(20);                    // end
    Records header;
    header.u32(1).u32(88).u32(0).u32(0).u32(width - 1).u32(height - 1); // bounds
    header.u32(0).u32(0).u32(width * 26).u32(height * 26);              // frame, 0.01 mm
    header.u32(0x464D4520).u32(0x10000).u32(88 + body.bytes.size()).u32(5).u16(2).u16(0);
    header.u32(0).u32(0).u32(0).u32(1024).u32(768).u32(270).u32(203);
    return header.bytes + body.bytes;
}

