#include "core/ScrollImage.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>
#include <QtEndian>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <emf2svg.h>
#include <jpeglib.h>
#include <libwmf/api.h>
#include <libwmf/svg.h>

namespace {

constexpr long long MaxPictureSide = 30000;
constexpr long long MaxPicturePixels = 100'000'000LL;
// A progressive JPEG walks the whole picture once per scan; a hostile one
// with thousands of tiny scans would keep the GUI thread busy for minutes.
constexpr int MaxJpegScans = 500;
// Working memory libjpeg may take beyond the picture itself (progressive
// pictures keep all their coefficients); over it decoding fails.
constexpr long MaxJpegWorkMemory = 1024L * 1024 * 1024;
// Larger files are no pictures a message carries.
constexpr qint64 MaxPictureFileSize = 256LL * 1024 * 1024;

struct JpegErrors {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

// libjpeg's default error handler exits the program; this one returns to
// DecodeInto with the message kept.
[[noreturn]] void JpegErrorExit(j_common_ptr cinfo)
{
    auto *errors = reinterpret_cast<JpegErrors *>(cinfo->err);
    errors->base.format_message(cinfo, errors->message);
    std::longjmp(errors->jump, 1);
}

// Warnings (such as a premature end of data) are not worth a line on stderr.
void JpegQuietMessage(j_common_ptr) {}

void JpegProgress(j_common_ptr cinfo)
{
    auto *dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (dinfo->progressive_mode && dinfo->input_scan_number > MaxJpegScans) {
        auto *errors = reinterpret_cast<JpegErrors *>(cinfo->err);
        std::snprintf(errors->message, sizeof errors->message, "JPEG has more than %d scans", MaxJpegScans);
        std::longjmp(errors->jump, 1);
    }
}

// Adobe CMYK JPEGs store the inks inverted: 255 is no ink.
void CmykRowToRgb(const JSAMPLE *cmyk, uchar *rgb, JDIMENSION width)
{
    for (JDIMENSION x = 0; x < width; ++x, cmyk += 4, rgb += 3) {
        const int k = cmyk[3];
        rgb[0] = static_cast<uchar>(cmyk[0] * k / 255);
        rgb[1] = static_cast<uchar>(cmyk[1] * k / 255);
        rgb[2] = static_cast<uchar>(cmyk[2] * k / 255);
    }
}

// A separate frame for the QString, which a longjmp in DecodeInto would skip.
bool JpegSizeAllowed(const jpeg_decompress_struct &cinfo, JpegErrors &errors)
{
    QString reason;
    if (PictureSizeAllowed(cinfo.image_width, cinfo.image_height, &reason))
        return true;
    std::snprintf(errors.message, sizeof errors.message, "JPEG: %s", qPrintable(reason));
    return false;
}

// Runs the decoder. Every C++ object lives in the caller's frame, so a
// longjmp out of libjpeg skips no destructor; returns false after one with
// errors->message set.
bool DecodeInto(jpeg_decompress_struct &cinfo, JpegErrors &errors, jpeg_progress_mgr &progress,
                const QByteArray &bytes, QImage &image, QByteArray &cmykRow)
{
    if (setjmp(errors.jump))
        return false;
    jpeg_create_decompress(&cinfo);
    cinfo.mem->max_memory_to_use = MaxJpegWorkMemory;
    progress.progress_monitor = JpegProgress;
    cinfo.progress = &progress;
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char *>(bytes.constData()),
                 static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&cinfo, TRUE);

    if (!JpegSizeAllowed(cinfo, errors))
        return false;
    const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
    const bool gray = cinfo.jpeg_color_space == JCS_GRAYSCALE;
    cinfo.out_color_space = cmyk ? JCS_CMYK : gray ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&cinfo);

    image = QImage(static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height),
                   gray ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
    if (image.isNull()) {
        std::snprintf(errors.message, sizeof errors.message, "no memory for the picture");
        return false;
    }
    if (cmyk)
        cmykRow.resize(static_cast<qsizetype>(cinfo.output_width) * 4);
    while (cinfo.output_scanline < cinfo.output_height) {
        uchar *line = image.scanLine(static_cast<int>(cinfo.output_scanline));
        JSAMPROW row = cmyk ? reinterpret_cast<JSAMPROW>(cmykRow.data()) : line;
        jpeg_read_scanlines(&cinfo, &row, 1);
        if (cmyk)
            CmykRowToRgb(row, line, cinfo.output_width);
    }
    jpeg_finish_decompress(&cinfo);
    return true;
}

bool ReadPictureFile(const QString &fileName, QByteArray &bytes, QString *error)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    if (file.size() > MaxPictureFileSize) {
        if (error)
            *error = QStringLiteral("picture file is too large");
        return false;
    }
    bytes = file.readAll();
    return true;
}

bool DecodeWithQt(const QByteArray &bytes, const QByteArray &format, QImage &image, QString *error)
{
    QBuffer buffer;
    buffer.setData(bytes);
    QImageReader reader(&buffer, format);
    if (reader.read(&image))
        return true;
    if (error)
        *error = reader.errorString();
    return false;
}

quint16 Word(const QByteArray &bytes, qsizetype at)
{
    return qFromLittleEndian<quint16>(bytes.constData() + at);
}

quint32 DoubleWord(const QByteArray &bytes, qsizetype at)
{
    return qFromLittleEndian<quint32>(bytes.constData() + at);
}

bool Refuse(QString *error, const QString &reason)
{
    if (error)
        *error = reason;
    return false;
}

// Metafiles have no background of their own; they are drawn on white, as on paper.
bool RenderSvg(const QByteArray &svg, QImage &image, QString *error)
{
    QSvgRenderer renderer(svg);
    if (!renderer.isValid())
        return Refuse(error, QStringLiteral("metafile drawing could not be read"));
    const QSize size = renderer.defaultSize();
    if (!PictureSizeAllowed(size.width(), size.height(), error))
        return false;
    QImage drawn(size, QImage::Format_RGB32);
    if (drawn.isNull())
        return Refuse(error, QStringLiteral("no memory for the picture"));
    drawn.fill(Qt::white);
    QPainter painter(&drawn);
    renderer.render(&painter);
    painter.end();
    image = drawn;
    return true;
}

QString WmfErrorText(wmf_error_t code)
{
    switch (code) {
    case wmf_E_InsMem:
        return QStringLiteral("WMF: out of memory");
    case wmf_E_BadFile:
        // Also what libwmf says when it finds none of the fonts it draws text with.
        return QStringLiteral("WMF: the metafile or the fonts to draw it could not be read");
    case wmf_E_BadFormat:
        return QStringLiteral("WMF: the metafile is corrupt");
    case wmf_E_EOF:
        return QStringLiteral("WMF: unexpected end of the metafile");
    default:
        return QStringLiteral("WMF: the metafile could not be drawn (error %1)").arg(int(code));
    }
}

struct WmfApiDeleter {
    void operator()(wmfAPI *api) const { wmf_api_destroy(api); }
};

constexpr quint32 WmfPlaceableKey = 0x9AC6CDD7;
constexpr qsizetype WmfPlaceableSize = 22;

// A placeable WMF names its frame in units per inch. libwmf would fit the
// extent of what is drawn to the picture, stretching it and dropping the
// margins; the frame, in libwmf's points, keeps both as the file means them.
bool WmfFrame(const QByteArray &bytes, wmfD_Rect &frame)
{
    if (bytes.size() < WmfPlaceableSize || DoubleWord(bytes, 0) != WmfPlaceableKey)
        return false;
    const auto coordinate = [&](qsizetype at) { return static_cast<qint16>(Word(bytes, at)); };
    const int left = coordinate(6), top = coordinate(8), right = coordinate(10), bottom = coordinate(12);
    const quint16 unitsPerInch = Word(bytes, 14);
    if (unitsPerInch == 0 || right <= left || bottom <= top)
        return false;
    const float scale = 72.0f / unitsPerInch;
    frame.TL = {left * scale, top * scale};
    frame.BR = {right * scale, bottom * scale};
    return true;
}

// Plays the metafile into libwmf's SVG device. Everything libwmf allocates,
// the SVG text too, belongs to the API and goes with it.
bool PlayWmfToSvg(wmfAPI *api, const QByteArray &bytes, QByteArray &svg, QString *error)
{
    auto *data = reinterpret_cast<unsigned char *>(const_cast<char *>(bytes.constData()));
    wmf_error_t status = wmf_mem_open(api, data, static_cast<long>(bytes.size()));
    wmfD_Rect bbox{};
    if (status == wmf_E_None)
        status = wmf_scan(api, 0, &bbox);
    unsigned int width = 0;
    unsigned int height = 0;
    if (status == wmf_E_None)
        status = wmf_display_size(api, &width, &height, 96, 96);
    if (status != wmf_E_None)
        return Refuse(error, WmfErrorText(status));
    // Refused here already, so that libwmf draws nothing of an absurd size.
    if (!PictureSizeAllowed(width, height, error))
        return false;
    WmfFrame(bytes, bbox);
    wmf_svg_t *device = WMF_SVG_GetData(api);
    device->out = wmf_stream_create(api, nullptr);
    device->bbox = bbox;
    device->width = width;
    device->height = height;
    status = wmf_play(api, 0, &bbox);
    char *text = nullptr;
    unsigned long length = 0;
    wmf_stream_destroy(api, device->out, &text, &length);
    if (status != wmf_E_None)
        return Refuse(error, WmfErrorText(status));
    svg = QByteArray(text, static_cast<qsizetype>(length));
    return true;
}

} // namespace

bool PictureSizeAllowed(long long width, long long height, QString *error)
{
    if (width <= 0 || height <= 0)
        return Refuse(error, QStringLiteral("picture of %1x%2 pixels is empty").arg(width).arg(height));
    if (width > MaxPictureSide || height > MaxPictureSide || width * height > MaxPicturePixels)
        return Refuse(error, QStringLiteral("picture of %1x%2 pixels is too large").arg(width).arg(height));
    return true;
}

bool CheckWmfRecords(const QByteArray &bytes, QString *error)
{
    constexpr qsizetype HeaderSize = 18;
    qsizetype at = bytes.size() >= 4 && DoubleWord(bytes, 0) == WmfPlaceableKey ? WmfPlaceableSize : 0;
    if (bytes.size() < at + HeaderSize)
        return Refuse(error, QStringLiteral("WMF: the header is cut short"));
    const quint16 type = Word(bytes, at);
    if ((type != 1 && type != 2) || Word(bytes, at + 2) != HeaderSize / 2)
        return Refuse(error, QStringLiteral("WMF: no metafile header"));
    // libwmf takes a buffer of the largest record's size, as the header states it.
    if (DoubleWord(bytes, at + 12) > static_cast<quint64>(bytes.size() - at) / 2)
        return Refuse(error, QStringLiteral("WMF: the header states a record larger than the file"));
    // Each record: its size in 16-bit words (at least its own 3), then its function; function 0 ends the file.
    for (at += HeaderSize; bytes.size() - at >= 6;) {
        const quint32 words = DoubleWord(bytes, at);
        if (words < 3 || words > static_cast<quint64>(bytes.size() - at) / 2)
            return Refuse(error, QStringLiteral("WMF: a record does not fit in the file"));
        if (Word(bytes, at + 4) == 0)
            return true;
        at += static_cast<qsizetype>(words) * 2;
    }
    return Refuse(error, QStringLiteral("WMF: the end record is missing"));
}

bool CheckEmfRecords(const QByteArray &bytes, QString *error)
{
    constexpr quint32 HeaderType = 1;
    constexpr quint32 EndType = 14;
    constexpr qsizetype MinHeaderSize = 88;
    constexpr quint32 Signature = 0x464D4520; // " EMF"
    if (bytes.size() < MinHeaderSize || DoubleWord(bytes, 0) != HeaderType || DoubleWord(bytes, 40) != Signature
        || DoubleWord(bytes, 4) < MinHeaderSize)
        return Refuse(error, QStringLiteral("EMF: no metafile header"));
    // libemf2svg reads the description (UTF-16, up to a NUL when it has no
    // length) and the pixel format (a 40-byte block) wherever the header
    // points, unchecked: both must be absent or lie inside the header.
    const quint64 headerSize = std::min<quint64>(DoubleWord(bytes, 4), bytes.size());
    const auto insideHeader = [&](qsizetype countAt, quint64 unit, quint64 minimum) {
        const quint64 count = DoubleWord(bytes, countAt);
        const quint64 offset = DoubleWord(bytes, countAt + 4);
        return (count == 0 && offset == 0)
            || (count != 0 && offset >= MinHeaderSize && offset + std::max(count * unit, minimum) <= headerSize);
    };
    constexpr qsizetype DescriptionAt = 60;
    constexpr qsizetype PixelFormatAt = 88; // present in headers of 100 bytes and more
    if (!insideHeader(DescriptionAt, 2, 2) || (headerSize >= 100 && !insideHeader(PixelFormatAt, 1, 40)))
        return Refuse(error, QStringLiteral("EMF: the header points outside itself"));
    // Each record: type and size in bytes (a multiple of 4, at least its own 8).
    for (qsizetype at = 0; bytes.size() - at >= 8;) {
        const quint32 size = DoubleWord(bytes, at + 4);
        if (size < 8 || size % 4 != 0 || size > static_cast<quint64>(bytes.size() - at))
            return Refuse(error, QStringLiteral("EMF: a record does not fit in the file"));
        if (DoubleWord(bytes, at) == EndType)
            return true;
        at += size;
    }
    return Refuse(error, QStringLiteral("EMF: the end record is missing"));
}

bool DecodeWmf(const QByteArray &bytes, QImage &image, QString *error)
{
    if (!CheckWmfRecords(bytes, error))
        return false;
    // libwmf prints its complaints to stderr unless told not to.
    wmfAPI_Options options{};
    options.function = wmf_svg_function;
    const unsigned long flags = WMF_OPT_FUNCTION | WMF_OPT_IGNORE_NONFATAL | WMF_OPT_NO_ERROR | WMF_OPT_NO_DEBUG;
    wmfAPI *created = nullptr;
    // A failed start has already freed what it made.
    const wmf_error_t started = wmf_api_create(&created, flags, &options);
    if (started != wmf_E_None)
        return Refuse(error, WmfErrorText(started));
    const std::unique_ptr<wmfAPI, WmfApiDeleter> api(created);
    QByteArray svg;
    return PlayWmfToSvg(api.get(), bytes, svg, error) && RenderSvg(svg, image, error);
}

bool DecodeEmf(const QByteArray &bytes, QImage &image, QString *error)
{
    if (!CheckEmfRecords(bytes, error))
        return false;
    char emptyNameSpace[] = "";
    generatorOptions options{};
    options.nameSpace = emptyNameSpace;
    options.svgDelimiter = true;
    // EMF+ records are skipped: every such file also carries the plain drawing.
    options.emfplus = false;
    char *text = nullptr;
    size_t length = 0;
    const int converted = emf2svg(const_cast<char *>(bytes.constData()), static_cast<size_t>(bytes.size()), &text,
                                  &length, &options);
    const std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
    if (!converted || !text)
        return Refuse(error, QStringLiteral("EMF: the metafile is corrupt"));
    return RenderSvg(QByteArray(text, static_cast<qsizetype>(length)), image, error);
}

bool DecodeJpeg(const QByteArray &bytes, QImage &image, QString *error)
{
    jpeg_decompress_struct cinfo{};
    JpegErrors errors{};
    jpeg_progress_mgr progress{};
    cinfo.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = JpegErrorExit;
    errors.base.output_message = JpegQuietMessage;
    QImage decoded;
    QByteArray cmykRow;
    const bool ok = DecodeInto(cinfo, errors, progress, bytes, decoded, cmykRow);
    jpeg_destroy_decompress(&cinfo);
    if (ok)
        image = decoded;
    else if (error)
        *error = QString::fromLocal8Bit(errors.message);
    return ok;
}

namespace {

using PictureDecoder = bool (*)(const QByteArray &, QImage &, QString *);

// The picture kinds the program shows itself, by lower-case file extension.
PictureDecoder DecoderFor(const QString &suffix)
{
    if (suffix == u"jpg" || suffix == u"jpeg")
        return DecodeJpeg;
    if (suffix == u"wmf")
        return DecodeWmf;
    if (suffix == u"emf")
        return DecodeEmf;
    if (suffix == u"bmp")
        return [](const QByteArray &bytes, QImage &image, QString *error) {
            return DecodeWithQt(bytes, "bmp", image, error);
        };
    if (suffix == u"ico")
        return [](const QByteArray &bytes, QImage &image, QString *error) {
            return DecodeWithQt(bytes, "ico", image, error);
        };
    return nullptr;
}

} // namespace

TScrollImage::TScrollImage(QWidget *parent)
    : QScrollArea(parent)
    , image_(new QLabel)
{
    image_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // Not resizable: the label keeps the picture's own size and the area scrolls over it.
    setWidget(image_);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

bool TScrollImage::LoadFromFile(const QString &fileName, QString *error)
{
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    const PictureDecoder decode = DecoderFor(suffix);
    if (!decode)
        return Refuse(error, QStringLiteral("unknown picture file extension (.%1)").arg(suffix));
    QByteArray bytes;
    if (!ReadPictureFile(fileName, bytes, error))
        return false;
    QImage decoded;
    if (!decode(bytes, decoded, error))
        return false;
    picture_ = decoded;
    image_->setPixmap(QPixmap::fromImage(picture_));
    image_->adjustSize();
    return true;
}
