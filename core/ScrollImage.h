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
    // through DecodeJpeg, "bmp" and "ico" through Qt. On failure the shown
    // picture stays as it was, error (if given) says why and false is returned.
    bool LoadFromFile(const QString &fileName, QString *error = nullptr);

    QLabel *Image() const { return image_; }
    const QImage &Picture() const { return picture_; }

private:
    QLabel *image_;
    QImage picture_;
};

// Decodes JPEG bytes with libjpeg. Pictures over 30000 pixels on a side or over
// 100 megapixels are refused from the header alone, before any pixel memory is
// taken. A corrupt or truncated file gives false and a reason, never an exit.
bool DecodeJpeg(const QByteArray &bytes, QImage &image, QString *error);
