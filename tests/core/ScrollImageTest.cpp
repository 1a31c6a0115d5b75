// The picture view: JPEG decoding with its size limit and its handling of bad
// bytes, BMP through Qt, WMF and EMF metafiles made here record by record,
// and scroll bars following the picture's size.
#include "core/ScrollImage.h"

#include "support/Metafiles.h"
#include "support/TempEnv.h"

#include <QApplication>
#include <QBuffer>
#include <QColor>
#include <QFile>
#include <QLabel>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QtEndian>

#include <gtest/gtest.h>

namespace {

QByteArray JpegOf(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(image.save(&buffer, "JPG", 95));
    return bytes;
}

QImage Filled(int width, int height, QColor colour)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

bool Near(QColor a, QColor b)
{
    return std::abs(a.red() - b.red()) < 12 && std::abs(a.green() - b.green()) < 12
        && std::abs(a.blue() - b.blue()) < 12;
}

TEST(DecodeJpegTest, DecodesSizeAndColour)
{
    const QColor orange(230, 120, 30);
    QImage image;
    QString error;
    ASSERT_TRUE(DecodeJpeg(JpegOf(Filled(37, 21, orange)), image, &error)) << error.toStdString();
    EXPECT_EQ(image.size(), QSize(37, 21));
    EXPECT_TRUE(Near(image.pixelColor(18, 10), orange));

    ASSERT_TRUE(DecodeJpeg(JpegOf(Filled(8, 8, Qt::gray).convertToFormat(QImage::Format_Grayscale8)), image, &error));
    EXPECT_EQ(image.format(), QImage::Format_Grayscale8);
    EXPECT_TRUE(Near(image.pixelColor(3, 3), Qt::gray));
}

TEST(DecodeJpegTest, BadBytesFailWithAReason)
{
    QRandomGenerator rng(7);
    QByteArray noise(4096, '\0');
    for (char &c : noise)
        c = static_cast<char>(rng.bounded(256));
    // Noisy pixels, so that most of the file is picture data rather than header.
    QImage speckled(64, 64, QImage::Format_RGB32);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x)
            speckled.setPixel(x, y, rng.generate());
    const QByteArray whole = JpegOf(speckled);
    const QByteArray shortHeader = whole.left(whole.indexOf("\xff\xda") - 20);

    for (const QByteArray &bytes : {QByteArray(), noise, shortHeader}) {
        QImage image(1, 1, QImage::Format_RGB32);
        QString error;
        EXPECT_FALSE(DecodeJpeg(bytes, image, &error));
        EXPECT_FALSE(error.isEmpty());
        EXPECT_EQ(image.size(), QSize(1, 1)) << "a failed decode leaves the image alone";
    }
    // Missing picture data past the header is filled in by libjpeg with a
    // warning; the picture still comes out at its full size.
    QImage image;
    QString error;
    EXPECT_TRUE(DecodeJpeg(whole.left(whole.size() / 2), image, &error));
    EXPECT_EQ(image.size(), QSize(64, 64));
}

TEST(DecodeJpegTest, HugeHeaderIsRefusedBeforeDecoding)
{
    QByteArray bytes = JpegOf(Filled(16, 16, Qt::red));
    // Baseline frame header: FF C0, length (2), precision (1), height (2), width (2).
    const qsizetype sof = bytes.indexOf("\xff\xc0");
    ASSERT_GT(sof, 0);
    const auto setSize = [&](int width, int height) {
        bytes[sof + 5] = static_cast<char>(height >> 8);
        bytes[sof + 6] = static_cast<char>(height & 0xff);
        bytes[sof + 7] = static_cast<char>(width >> 8);
        bytes[sof + 8] = static_cast<char>(width & 0xff);
    };
    QImage image;
    QString error;
    setSize(60000, 60000);
    EXPECT_FALSE(DecodeJpeg(bytes, image, &error));
    EXPECT_TRUE(error.contains(u"too large")) << error.toStdString();
    EXPECT_TRUE(image.isNull());
    // Each side within the limit, their product not.
    setSize(20000, 20000);
    EXPECT_FALSE(DecodeJpeg(bytes, image, &error));
    EXPECT_TRUE(error.contains(u"too large")) << error.toStdString();
}

TEST(MetafileTest, HostileMetafilesAreRefusedWithAReason)
{
    const QByteArray wmf = Wmf(Qt::red, 200, 100);
    const QByteArray emf = Emf(Qt::green, 200, 100);
    const auto patched32 = [](QByteArray bytes, qsizetype at, quint32 value) {
        qToLittleEndian<quint32>(value, bytes.data() + at);
        return bytes;
    };
    const qsizetype wmfFirstRecord = 22 + 18;
    const qsizetype emfFirstRecord = 88;
    const struct { const char *name; bool (*decode)(const QByteArray &, QImage &, QString *); QByteArray bytes; const char *reason; } cases[] = {
        {"empty WMF", DecodeWmf, {}, "header"},
        {"WMF without header", DecodeWmf, wmf.mid(wmfFirstRecord), "header"},
        {"WMF cut in a record", DecodeWmf, wmf.left(wmf.size() - 8), "record"},
        {"WMF without end record", DecodeWmf, wmf.left(wmf.size() - 6), "end record"},
        {"WMF record of size 0", DecodeWmf, patched32(wmf, wmfFirstRecord, 0), "record"},
        {"WMF record past the end", DecodeWmf, patched32(wmf, wmfFirstRecord, 0x7fffffff), "record"},
        {"WMF stating a huge record", DecodeWmf, patched32(wmf, 22 + 12, 0x69bc4f62), "larger than the file"},
        {"WMF of absurd size", DecodeWmf, Wmf(Qt::red, 32000, 32000), "too large"},
        {"empty EMF", DecodeEmf, {}, "header"},
        {"EMF without signature", DecodeEmf, patched32(emf, 40, 0x20202020), "header"},
        {"EMF description past its header", DecodeEmf, patched32(emf, 60, 12), "outside"},
        {"EMF description of no length", DecodeEmf, patched32(emf, 64, 132), "outside"},
        {"EMF record past the end", DecodeEmf, patched32(emf, emfFirstRecord + 4, 0xfffffff0), "record"},
        {"EMF without end record", DecodeEmf, emf.left(emf.size() - 20), "end record"},
        {"EMF of absurd size", DecodeEmf, Emf(Qt::green, 60000, 60000), "too large"},
    };
    for (const auto &c : cases) {
        QImage image(1, 1, QImage::Format_RGB32);
        QString error;
        EXPECT_FALSE(c.decode(c.bytes, image, &error)) << c.name;
        EXPECT_TRUE(error.contains(QLatin1String(c.reason))) << c.name << ": " << error.toStdString();
        EXPECT_EQ(image.size(), QSize(1, 1)) << c.name;
    }
}

class ScrollImageTest : public testsupport::TempEnvTest {
protected:
    QString Save(const QImage &image, const QString &name)
    {
        const QString path = env.file(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        if (name.endsWith(u".jpg", Qt::CaseInsensitive))
            file.write(JpegOf(image));
        else
            EXPECT_TRUE(image.save(&file, name.endsWith(u".ico") ? "ICO" : "BMP"));
        return path;
    }
};

TEST_F(ScrollImageTest, LoadsByExtension)
{
    TScrollImage view;
    QString error;
    ASSERT_TRUE(view.LoadFromFile(Save(Filled(30, 20, Qt::green), "a.bmp"), &error)) << error.toStdString();
    EXPECT_EQ(view.Picture().size(), QSize(30, 20));
    EXPECT_EQ(view.Picture().pixelColor(5, 5), QColor(Qt::green));
    EXPECT_EQ(view.Image()->size(), QSize(30, 20));

    ASSERT_TRUE(view.LoadFromFile(Save(Filled(16, 16, Qt::yellow), "i.ico"), &error)) << error.toStdString();
    EXPECT_EQ(view.Picture().pixelColor(8, 8), QColor(Qt::yellow));

    ASSERT_TRUE(view.LoadFromFile(Save(Filled(12, 9, Qt::red), "b.JPG"), &error)) << error.toStdString();
    EXPECT_EQ(view.Picture().size(), QSize(12, 9));

    // A JPEG under a bitmap's name goes to the bitmap reader and fails;
    // an unknown extension and a missing file fail too, keeping the picture.
    const QString jpegBytes = Save(Filled(4, 4, Qt::red), "c.jpg");
    const QString misnamed = env.file("c.bmp");
    ASSERT_TRUE(QFile::copy(jpegBytes, misnamed));
    for (const QString &bad : {misnamed, jpegBytes + ".png", env.file("none.jpg")}) {
        error.clear();
        EXPECT_FALSE(view.LoadFromFile(bad, &error)) << bad.toStdString();
        EXPECT_FALSE(error.isEmpty());
        EXPECT_EQ(view.Picture().size(), QSize(12, 9));
    }
}

TEST_F(ScrollImageTest, ShowsMetafilesDrawnOnWhite)
{
    TScrollImage view;
    view.resize(260, 160);
    view.show();
    for (const auto &[name, bytes, fill] : {std::tuple{"r.wmf", Wmf(Qt::red, 200, 100), QColor(Qt::red)},
                                           std::tuple{"g.EMF", Emf(Qt::green, 200, 100), QColor(Qt::green)}}) {
        QFile file(env.file(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        file.close();
        QString error;
        ASSERT_TRUE(view.LoadFromFile(file.fileName(), &error)) << name << ": " << error.toStdString();
        const QSize size = view.Picture().size();
        EXPECT_TRUE(std::abs(size.width() - 200) <= 1 && std::abs(size.height() - 100) <= 1) << name;
        EXPECT_TRUE(Near(view.Picture().pixelColor(100, 50), fill)) << name;
        // The frame is wider than the rectangle: the margin shows white paper.
        EXPECT_EQ(view.Picture().pixelColor(2, 2), QColor(Qt::white)) << name;
        // What the window shows, not only what was decoded.
        QApplication::processEvents();
        EXPECT_TRUE(Near(view.grab().toImage().pixelColor(100, 50), fill)) << name;
    }
}

TEST_F(ScrollImageTest, ScrollBarsFollowThePictureSize)
{
    TScrollImage view;
    view.resize(200, 150);
    view.show();
    const auto load = [&](int width, int height) {
        ASSERT_TRUE(view.LoadFromFile(Save(Filled(width, height, Qt::blue), "p.bmp")));
        QApplication::processEvents();
    };
    load(50, 40);
    EXPECT_FALSE(view.horizontalScrollBar()->isVisible());
    EXPECT_FALSE(view.verticalScrollBar()->isVisible());
    EXPECT_EQ(view.Image()->pos(), QPoint(0, 0));

    load(600, 50);
    EXPECT_TRUE(view.horizontalScrollBar()->isVisible());
    EXPECT_FALSE(view.verticalScrollBar()->isVisible());

    load(50, 40);
    EXPECT_FALSE(view.horizontalScrollBar()->isVisible());
    EXPECT_FALSE(view.verticalScrollBar()->isVisible());
}

} // namespace
