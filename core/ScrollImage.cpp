#include "core/ScrollImage.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QLabel>
#include <QPixmap>

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace {

constexpr JDIMENSION MaxJpegSide = 30000;
constexpr unsigned long long MaxJpegPixels = 100'000'000ULL;
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

    if (cinfo.image_width > MaxJpegSide || cinfo.image_height > MaxJpegSide
        || static_cast<unsigned long long>(cinfo.image_width) * cinfo.image_height > MaxJpegPixels) {
        std::snprintf(errors.message, sizeof errors.message, "JPEG of %ux%u pixels is too large",
                      static_cast<unsigned>(cinfo.image_width), static_cast<unsigned>(cinfo.image_height));
        return false;
    }
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

} // namespace

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
    const bool jpeg = suffix == u"jpg" || suffix == u"jpeg";
    if (!jpeg && suffix != u"bmp" && suffix != u"ico") {
        if (error)
            *error = QStringLiteral("unknown picture file extension (.%1)").arg(suffix);
        return false;
    }
    QByteArray bytes;
    if (!ReadPictureFile(fileName, bytes, error))
        return false;
    QImage decoded;
    if (!(jpeg ? DecodeJpeg(bytes, decoded, error) : DecodeWithQt(bytes, suffix.toLatin1(), decoded, error)))
        return false;
    picture_ = decoded;
    image_->setPixmap(QPixmap::fromImage(picture_));
    image_->adjustSize();
    return true;
}
