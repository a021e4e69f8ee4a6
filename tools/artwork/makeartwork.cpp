// Draws the updater's artwork: the dialog background (640 x 455 RGB PNG) and the
// program icon (an .ico file holding one 256 x 256 32-bit image stored as PNG).
// The drawing is fixed, so running it again gives the same pictures.

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QtEndian>
#include <QtMath>

#include <cmath>
#include <cstdio>

namespace {

const QColor deepBlue(0x17, 0x3a, 0x5e);
const QColor calmBlue(0x2f, 0x6f, 0xa3);
const QColor softTeal(0x3f, 0x9c, 0xa6);
const QColor paper(0xf7, 0xf9, 0xfb);

// A circular arrow: most of a ring, with a head at its end, pointing clockwise.
QPainterPath circularArrow(QPointF centre, qreal radius, qreal thickness)
{
    const qreal startDeg = 110.0;
    const qreal sweepDeg = -290.0;
    QPainterPath ring;
    const QRectF outer(centre.x() - radius - thickness / 2, centre.y() - radius - thickness / 2,
                       2 * radius + thickness, 2 * radius + thickness);
    const QRectF inner(centre.x() - radius + thickness / 2, centre.y() - radius + thickness / 2,
                       2 * radius - thickness, 2 * radius - thickness);
    ring.arcMoveTo(outer, startDeg);
    ring.arcTo(outer, startDeg, sweepDeg);
    ring.arcTo(inner, startDeg + sweepDeg, -sweepDeg);
    ring.closeSubpath();

    const qreal endRad = qDegreesToRadians(startDeg + sweepDeg);
    const QPointF along(std::cos(endRad), -std::sin(endRad));     // outward from the centre
    const QPointF tangent(std::sin(endRad), std::cos(endRad));    // clockwise direction
    const QPointF base = centre + along * radius;
    QPainterPath head;
    head.moveTo(base + along * thickness * 1.1);
    head.lineTo(base + tangent * thickness * 1.3);
    head.lineTo(base - along * thickness * 1.1);
    head.closeSubpath();
    return ring.united(head);
}

QImage background()
{
    QImage image(640, 455, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(image.rect(), paper);

    // Upper band: a quiet diagonal gradient closed by a gentle wave.
    QPainterPath band;
    band.moveTo(0, 0);
    band.lineTo(640, 0);
    band.lineTo(640, 214);
    band.cubicTo(480, 268, 250, 196, 0, 250);
    band.closeSubpath();
    QLinearGradient sky(0, 0, 640, 260);
    sky.setColorAt(0.0, deepBlue);
    sky.setColorAt(0.6, calmBlue);
    sky.setColorAt(1.0, softTeal);
    painter.fillPath(band, sky);

    // A thin lighter wave just below the band, echoing its edge.
    QPainterPath echo;
    echo.moveTo(0, 258);
    echo.cubicTo(250, 204, 480, 276, 640, 222);
    painter.setPen(QPen(QColor(0x3f, 0x9c, 0xa6, 90), 3));
    painter.drawPath(echo);

    // Soft light discs for depth, kept inside the band.
    painter.setClipPath(band);
    painter.setPen(Qt::NoPen);
    const struct { qreal x, y, r; int alpha; } discs[] = {
        {520, 40, 170, 38}, {600, 190, 110, 28}, {90, -30, 140, 22}};
    for (const auto &d : discs) {
        QRadialGradient glow(d.x, d.y, d.r);
        glow.setColorAt(0.0, QColor(255, 255, 255, d.alpha));
        glow.setColorAt(1.0, QColor(255, 255, 255, 0));
        painter.setBrush(glow);
        painter.drawEllipse(QPointF(d.x, d.y), d.r, d.r);
    }
    painter.setClipping(false);

    // The emblem: a circular arrow inside a faint ring.
    const QPointF centre(320, 112);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(255, 255, 255, 60), 2));
    painter.drawEllipse(centre, 74, 74);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 255, 255, 235));
    painter.drawPath(circularArrow(centre, 44, 12));
    painter.end();
    return image.convertToFormat(QImage::Format_RGB888);
}

QImage icon()
{
    QImage image(256, 256, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient tile(0, 0, 256, 256);
    tile.setColorAt(0.0, calmBlue);
    tile.setColorAt(1.0, deepBlue);
    painter.setPen(Qt::NoPen);
    painter.setBrush(tile);
    painter.drawRoundedRect(QRectF(8, 8, 240, 240), 52, 52);
    painter.setBrush(Qt::white);
    painter.drawPath(circularArrow(QPointF(128, 128), 66, 22));
    painter.end();
    return image;
}

// An .ico file with a single 256 x 256 entry whose data is a PNG stream.
QByteArray icoFile(const QImage &image)
{
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");

    QByteArray ico(22, '\0');
    auto *header = reinterpret_cast<uchar *>(ico.data());
    qToLittleEndian<quint16>(0, header);         // reserved
    qToLittleEndian<quint16>(1, header + 2);     // type: icon
    qToLittleEndian<quint16>(1, header + 4);     // one image
    header[6] = 0;                               // width 256
    header[7] = 0;                               // height 256
    header[8] = 0;                               // no palette
    header[9] = 0;
    qToLittleEndian<quint16>(1, header + 10);    // colour planes
    qToLittleEndian<quint16>(32, header + 12);   // bits per pixel
    qToLittleEndian<quint32>(quint32(png.size()), header + 14);
    qToLittleEndian<quint32>(22, header + 18);   // offset of the image data
    return ico + png;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-artwork OUTPUT_DIR\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    if (!background().save(dir + QStringLiteral("/update_bg.png"), "PNG")
        || !writeFile(dir + QStringLiteral("/icon.ico"), icoFile(icon()))) {
        std::fprintf(stderr, "make-artwork: cannot write into %s\n", argv[1]);
        return 1;
    }
    return 0;
}
