// Draws every image the program carries: the four pictures of the resource collection, the window
// icon at its four sizes (PNG for Linux) and the multi-size .ico for the Windows build. Run it after
// changing a drawing and commit the files it writes:
//
//     draw-resources <resources folder>
//
// Everything is drawn here from shapes and the DejaVu Sans font, so the output depends on nothing
// but this file.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QtEndian>
#include <QtMath>

#include <cstdio>
#include <vector>

namespace {

const QColor ink(0x22, 0x2a, 0x33);      // graphite body colour
const QColor deepBlue(0x1d, 0x4f, 0x7c); // the product colour
const QColor lightBlue(0x3d, 0x8b, 0xc9);
const QColor accent(0xf0, 0x8a, 0x24); // the "flash" orange
const QColor paper(0xf4, 0xf6, 0xf8);

QImage blank(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

void smooth(QPainter &painter)
{
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
}

// The program's mark: a chip on a blue tile with an orange arrow flowing into it. Drawn in a
// 64-unit square and scaled, with fewer details where the pixels cannot carry them.
void drawMark(QPainter &painter, int size)
{
    painter.save();
    painter.scale(size / 64.0, size / 64.0);

    QLinearGradient tile(0, 0, 0, 64);
    tile.setColorAt(0, lightBlue);
    tile.setColorAt(1, deepBlue);
    painter.setPen(Qt::NoPen);
    painter.setBrush(tile);
    painter.drawRoundedRect(QRectF(1, 1, 62, 62), 13, 13);

    // The chip, with its pins where there is room for them.
    const QRectF chip(17, 30, 30, 24);
    if (size >= 32) {
        painter.setBrush(paper);
        for (int i = 0; i < 4; ++i) {
            painter.drawRect(QRectF(20 + i * 7, 26, 3, 5));
            painter.drawRect(QRectF(20 + i * 7, 53, 3, 5));
        }
    }
    painter.setBrush(paper);
    painter.drawRoundedRect(chip, 3, 3);
    painter.setBrush(deepBlue);
    painter.drawRoundedRect(chip.adjusted(5, 5, -5, -5), 2, 2);

    // The arrow: a shaft and a head pointing down into the chip.
    QPainterPath arrow;
    arrow.moveTo(28, 5);
    arrow.lineTo(36, 5);
    arrow.lineTo(36, 19);
    arrow.lineTo(44, 19);
    arrow.lineTo(32, 35);
    arrow.lineTo(20, 19);
    arrow.lineTo(28, 19);
    arrow.closeSubpath();
    painter.setBrush(accent);
    painter.setPen(QPen(deepBlue.darker(130), size >= 32 ? 1.5 : 0.0));
    if (size < 32)
        painter.setPen(Qt::NoPen);
    painter.drawPath(arrow);
    painter.restore();
}

QImage drawIcon(int size)
{
    QImage image = blank(size, size);
    QPainter painter(&image);
    smooth(painter);
    drawMark(painter, size);
    return image;
}

// A stylised game pad: a body with two grips, a direction pad, four face buttons and two sticks.
QImage drawController()
{
    QImage image = blank(150, 150);
    QPainter painter(&image);
    smooth(painter);

    QPainterPath body;
    body.addRoundedRect(QRectF(12, 42, 126, 58), 29, 29);
    QPainterPath grips;
    grips.addEllipse(QRectF(14, 62, 46, 62));
    grips.addEllipse(QRectF(90, 62, 46, 62));
    body = body.united(grips);

    QLinearGradient shade(0, 40, 0, 125);
    shade.setColorAt(0, ink.lighter(160));
    shade.setColorAt(1, ink);
    painter.setPen(QPen(ink.darker(150), 2));
    painter.setBrush(shade);
    painter.drawPath(body);

    // Direction pad.
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x11, 0x15, 0x19));
    painter.drawRoundedRect(QRectF(27, 62, 30, 10), 2, 2);
    painter.drawRoundedRect(QRectF(37, 52, 10, 30), 2, 2);

    // Face buttons in a diamond.
    const QColor faces[4] = {accent, lightBlue, QColor(0x5c, 0xb8, 0x5c), QColor(0xd9, 0x53, 0x4f)};
    const QPointF centres[4] = {{110, 55}, {122, 67}, {110, 79}, {98, 67}};
    for (int i = 0; i < 4; ++i) {
        painter.setBrush(faces[i]);
        painter.drawEllipse(centres[i], 6.5, 6.5);
    }

    // Sticks.
    for (qreal x : {56.0, 94.0}) {
        painter.setBrush(QColor(0x11, 0x15, 0x19));
        painter.drawEllipse(QPointF(x, 94), 12, 12);
        QRadialGradient cap(QPointF(x - 3, 91), 10);
        cap.setColorAt(0, QColor(0x6b, 0x74, 0x7e));
        cap.setColorAt(1, QColor(0x33, 0x3a, 0x42));
        painter.setBrush(cap);
        painter.drawEllipse(QPointF(x, 94), 8.5, 8.5);
    }

    // Status light.
    painter.setBrush(accent);
    painter.drawEllipse(QPointF(75, 58), 4, 4);
    return image;
}

// A racing wheel seen from the driver's seat: a gripped rim, three spokes, a hub and the orange
// centre stripe at the top of the rim.
QImage drawWheel()
{
    const int size = 900;
    const QPointF centre(size / 2.0, size / 2.0);
    QImage image = blank(size, size);
    QPainter painter(&image);
    smooth(painter);

    // Spokes first, so the rim and hub cover their ends.
    painter.setPen(Qt::NoPen);
    QLinearGradient metal(0, 300, 0, 800);
    metal.setColorAt(0, QColor(0x4a, 0x52, 0x5b));
    metal.setColorAt(1, QColor(0x2a, 0x30, 0x36));
    painter.setBrush(metal);
    QPainterPath spokes;
    spokes.addRoundedRect(QRectF(60, 395, 780, 110), 40, 40);
    spokes.addRoundedRect(QRectF(395, 450, 110, 380), 40, 40);
    painter.drawPath(spokes.simplified());

    // Rim: a ring with a soft highlight and finger grips.
    QPainterPath rim;
    rim.addEllipse(centre, 420, 420);
    QPainterPath hole;
    hole.addEllipse(centre, 345, 345);
    rim = rim.subtracted(hole);
    QRadialGradient rimShade(centre, 420);
    rimShade.setColorAt(0.80, QColor(0x16, 0x1a, 0x1e));
    rimShade.setColorAt(0.90, QColor(0x3c, 0x44, 0x4c));
    rimShade.setColorAt(1.00, QColor(0x16, 0x1a, 0x1e));
    painter.setBrush(rimShade);
    painter.drawPath(rim);

    painter.setPen(QPen(QColor(0x0d, 0x10, 0x13), 6, Qt::SolidLine, Qt::RoundCap));
    for (int step = 0; step < 36; ++step) {
        if (step % 9 == 0)
            continue; // leave the spoke joints and the stripe smooth
        painter.save();
        painter.translate(centre);
        painter.rotate(step * 10.0);
        painter.drawLine(QPointF(0, -355), QPointF(0, -405));
        painter.restore();
    }

    // Centre stripe at twelve o'clock.
    painter.setPen(Qt::NoPen);
    painter.setBrush(accent);
    QPainterPath stripe;
    stripe.addRect(QRectF(centre.x() - 18, 20, 36, 100));
    painter.drawPath(stripe.intersected(rim));

    // Hub with the program's mark in the middle.
    QRadialGradient hubShade(centre - QPointF(30, 30), 170);
    hubShade.setColorAt(0, QColor(0x4f, 0x58, 0x62));
    hubShade.setColorAt(1, QColor(0x1c, 0x21, 0x26));
    painter.setBrush(hubShade);
    painter.drawEllipse(centre, 150, 150);
    painter.setPen(QPen(accent, 8));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(centre, 138, 138);
    painter.translate(centre - QPointF(80, 80));
    drawMark(painter, 160);
    return image;
}

// The product's word-mark: the mark, then "Firmware" in bold blue and "flasher" in orange.
QImage drawWordmark()
{
    const int width = 537, height = 49;
    QImage image = blank(width, height);
    QPainter painter(&image);
    smooth(painter);

    painter.save();
    painter.translate(2, 2);
    drawMark(painter, 45);
    painter.restore();

    QFont bold(QStringLiteral("DejaVu Sans"));
    bold.setPixelSize(38);
    bold.setBold(true);
    QFont light(bold);
    light.setBold(false);

    const QString first = QStringLiteral("Firmware");
    const QString second = QStringLiteral(" flasher");
    const qreal baseline = 38;
    qreal x = 60;
    painter.setFont(bold);
    painter.setPen(deepBlue);
    painter.drawText(QPointF(x, baseline), first);
    x += QFontMetricsF(bold).horizontalAdvance(first);
    painter.setFont(light);
    painter.setPen(accent);
    painter.drawText(QPointF(x, baseline), second);
    x += QFontMetricsF(light).horizontalAdvance(second);

    // An underline that runs to the right edge, so the mark fills its banner.
    painter.setPen(Qt::NoPen);
    painter.setBrush(deepBlue);
    painter.drawRoundedRect(QRectF(x + 14, 30, width - x - 18, 6), 3, 3);
    return image;
}

// The maker's mark: a hexagon with three rising chevrons, a neutral emblem of our own.
QImage drawMakerMark()
{
    QImage image = blank(100, 100);
    QPainter painter(&image);
    smooth(painter);

    QPainterPath hexagon;
    for (int corner = 0; corner < 6; ++corner) {
        const qreal angle = qDegreesToRadians(60.0 * corner - 90.0);
        const QPointF point(50 + 46 * qCos(angle), 50 + 46 * qSin(angle));
        if (corner == 0)
            hexagon.moveTo(point);
        else
            hexagon.lineTo(point);
    }
    hexagon.closeSubpath();
    QLinearGradient fill(0, 4, 0, 96);
    fill.setColorAt(0, lightBlue);
    fill.setColorAt(1, deepBlue);
    painter.setPen(QPen(deepBlue.darker(140), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(fill);
    painter.drawPath(hexagon);

    for (int row = 0; row < 3; ++row) {
        const qreal y = 70 - row * 17;
        painter.setPen(QPen(row == 2 ? accent : paper, 8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPolyline(QVector<QPointF>{{30, y + 6}, {50, y - 8}, {70, y + 6}});
    }
    return image;
}

// An .ico file with one 32-bit bitmap per size (BITMAPINFOHEADER, bottom-up BGRA rows, then the
// all-zero AND mask; the alpha channel carries the transparency).
QByteArray iconFile(const std::vector<QImage> &images)
{
    QByteArray header, payload;
    auto put16 = [](QByteArray &out, quint16 value) {
        char bytes[2];
        qToLittleEndian(value, bytes);
        out.append(bytes, 2);
    };
    auto put32 = [](QByteArray &out, quint32 value) {
        char bytes[4];
        qToLittleEndian(value, bytes);
        out.append(bytes, 4);
    };

    put16(header, 0); // reserved
    put16(header, 1); // icon
    put16(header, quint16(images.size()));
    quint32 offset = 6 + 16 * quint32(images.size());

    for (const QImage &source : images) {
        const QImage image = source.convertToFormat(QImage::Format_ARGB32);
        const int size = image.width();
        const int maskStride = ((size + 31) / 32) * 4;

        QByteArray bitmap;
        put32(bitmap, 40);
        put32(bitmap, quint32(size));
        put32(bitmap, quint32(size * 2)); // colour rows plus mask rows
        put16(bitmap, 1);
        put16(bitmap, 32);
        put32(bitmap, 0); // uncompressed
        put32(bitmap, quint32(size * size * 4 + maskStride * size));
        put32(bitmap, 0);
        put32(bitmap, 0);
        put32(bitmap, 0);
        put32(bitmap, 0);
        for (int y = size - 1; y >= 0; --y) {
            const QRgb *row = reinterpret_cast<const QRgb *>(image.constScanLine(y));
            for (int x = 0; x < size; ++x)
                put32(bitmap, row[x]); // ARGB32 is 0xAARRGGBB, stored little endian as B G R A
        }
        bitmap.append(QByteArray(maskStride * size, '\0'));

        header.append(char(size >= 256 ? 0 : size));
        header.append(char(size >= 256 ? 0 : size));
        header.append(char(0)); // no palette
        header.append(char(0));
        put16(header, 1);  // planes
        put16(header, 32); // bits per pixel
        put32(header, quint32(bitmap.size()));
        put32(header, offset);
        offset += quint32(bitmap.size());
        payload.append(bitmap);
    }
    return header + payload;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "draw-resources: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

bool savePng(const QImage &image, const QString &path)
{
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "draw-resources: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s (%dx%d)\n", qPrintable(path), image.width(), image.height());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen"); // drawing needs fonts, not a screen
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: draw-resources <resources folder>\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!out.mkpath(QStringLiteral("img")) || !out.mkpath(QStringLiteral("icons"))) {
        std::fprintf(stderr, "draw-resources: cannot create folders in %s\n", argv[1]);
        return 1;
    }

    bool ok = savePng(drawController(), out.filePath(QStringLiteral("img/test.fw.png")));
    ok = savePng(drawWheel(), out.filePath(QStringLiteral("img/wheel.fw.png"))) && ok;
    ok = savePng(drawWordmark(), out.filePath(QStringLiteral("img/product-logo.png"))) && ok;
    ok = savePng(drawMakerMark(), out.filePath(QStringLiteral("img/maker-logo.png"))) && ok;

    std::vector<QImage> icons;
    for (int size : {16, 32, 48, 64}) {
        icons.push_back(drawIcon(size));
        ok = savePng(icons.back(), out.filePath(QStringLiteral("icons/flasher-%1.png").arg(size))) && ok;
    }
    ok = writeFile(out.filePath(QStringLiteral("flasher.ico")), iconFile(icons)) && ok;
    return ok ? 0 : 1;
}
