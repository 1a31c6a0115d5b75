#pragma once
// The picture view of the message windows: a scroll area holding a label that
// takes the picture's natural size, so a picture larger than the view scrolls.
#include <QByteArray>
#include <QImage>
#include <QScrollArea>
#include <QString>

class QLabel;

class TScrollImage : public QScrollArea {
    Q_OBJECT
public:
    explicit TScrollImage(QWidget *parent = nullptr);

    // Loads a picture file, its kind chosen by the extension: "jpg" and "jpeg"
    // through DecodeJpeg, "wmf" through DecodeWmf, "emf" through DecodeEmf,
    // "bmp" and "ico" through Qt. On failure the shown picture stays as it was,
    // error (if given) says why and false is returned.
    bool LoadFromFile(const QString &fileName, QString *error = nullptr);

    QLabel *Image() const { return image_; }
    const QImage &Picture() const { return picture_; }

private:
    QLabel *image_;
    QImage picture_;
};

// Every decoder asks this before it takes pixel memory: pictures over 30000
// pixels on a side or over 100 megapixels, and empty ones, are refused.
bool PictureSizeAllowed(long long width, long long height, QString *error);

// Decodes JPEG bytes with libjpeg. Too large pictures are refused from the
// header alone (PictureSizeAllowed). A corrupt or truncated file gives false
// and a reason, never an exit.
bool DecodeJpeg(const QByteArray &bytes, QImage &image, QString *error);

// The metafile readers trust the record sizes they read; these walks refuse,
// before a reader sees the bytes, a file whose header is wrong, whose records
// do not fit in it or that has no end record.
bool CheckWmfRecords(const QByteArray &bytes, QString *error);
bool CheckEmfRecords(const QByteArray &bytes, QString *error);

// Metafiles are drawn on white at their own size: a WMF through libwmf, an
// EMF through libemf2svg, both as SVG rendered by Qt. A malformed file gives
// false and the reader's reason.
bool DecodeWmf(const QByteArray &bytes, QImage &image, QString *error);
bool DecodeEmf(const QByteArray &bytes, QImage &image, QString *error);
