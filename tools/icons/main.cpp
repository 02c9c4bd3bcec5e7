// Draws the program's icon set from the device picture's shapes (a grey ring, a green disc, a
// white check mark): the scalable SVG and the PNG sizes of the hicolor theme.
//   quellor-icons OUTPUT_FOLDER
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>

namespace {
// The picture's geometry on its 48-unit grid.
constexpr double Ring = 21, Disc = 16, Center = 24, Stroke = 5;
const QColor Grey(0xb0, 0xb0, 0xb0), Green(0x1a, 0x9a, 0x2a);
const QPointF Check[] = {{15, 25}, {21.5, 31.5}, {33, 17}};
constexpr int Sizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

QImage Draw(int size) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 48.0, size / 48.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Grey);
    painter.drawEllipse(QPointF(Center, Center), Ring, Ring);
    painter.setBrush(Green);
    painter.drawEllipse(QPointF(Center, Center), Disc, Disc);
    painter.setPen(QPen(Qt::white, Stroke, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPolyline(Check, 3);
    return image;
}

QByteArray Svg() {
    QByteArray points;
    for (const QPointF& point : Check)
        points += QByteArray::number(point.x()) + ',' + QByteArray::number(point.y()) + ' ';
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"48\" height=\"48\" viewBox=\"0 0 48 48\">\n"
           "  <circle cx=\"24\" cy=\"24\" r=\"" + QByteArray::number(Ring) + "\" fill=\"" + Grey.name().toLatin1() + "\"/>\n"
           "  <circle cx=\"24\" cy=\"24\" r=\"" + QByteArray::number(Disc) + "\" fill=\"" + Green.name().toLatin1() + "\"/>\n"
           "  <polyline points=\"" + points.trimmed() + "\" fill=\"none\" stroke=\"#ffffff\" stroke-width=\"" +
           QByteArray::number(Stroke) + "\" stroke-linecap=\"round\" stroke-linejoin=\"round\"/>\n</svg>\n";
}
} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: quellor-icons OUTPUT_FOLDER\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    for (const int size : Sizes) {
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(out).arg(size);
        if (!QDir().mkpath(folder) || !Draw(size).save(folder + QStringLiteral("/quellor.png")))
            return 1;
    }
    QDir().mkpath(out + QStringLiteral("/scalable/apps"));
    QFile svg(out + QStringLiteral("/scalable/apps/quellor.svg"));
    return svg.open(QIODevice::WriteOnly) && svg.write(Svg()) > 0 ? 0 : 1;
}
