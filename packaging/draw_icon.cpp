// Writes the program's icon for the hicolor theme: the 32 x 32 icon.xpm as it is, and larger
// renderings of its design drawn here, so that menus and software centres need not scale up
// 32 pixels. The design: a page with a folded corner and three lines of text, a blue drive with
// a green light in front of it, and a green arrow pointing up.
//
//     draw_icon ICON_XPM OUTPUT_DIR NAME SIZE...   writes OUTPUT_DIR/SIZExSIZE/apps/NAME.png

#include <QDir>
#include <QImage>
#include <QPainter>
#include <QPolygonF>
#include <cstdio>

namespace {

constexpr int design_size = 32; // icon.xpm's grid: every coordinate below is in its pixels

// The colours of icon.xpm.
const QColor outline(0x00, 0x00, 0x00);
const QColor page(0xff, 0xff, 0xff);
const QColor fold(0xc0, 0xc0, 0xc0);
const QColor text_line(0x80, 0x80, 0x80);
const QColor drive_edge(0x00, 0x00, 0x80);
const QColor drive(0x00, 0x00, 0xff);
const QColor arrow(0x00, 0x80, 0x00);
const QColor light(0x00, 0xff, 0x00);

QImage drawn(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(qreal(size) / design_size, qreal(size) / design_size);

    // Lines run through the middle of the grid's pixels, as the 32-pixel outlines do.
    p.setPen(QPen(outline, 1.0, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    p.setBrush(page);
    p.drawPolygon(QPolygonF({{5.5, 2.5}, {18.5, 2.5}, {24.5, 8.5}, {24.5, 29.5}, {5.5, 29.5}}));
    p.setBrush(fold);
    p.drawPolygon(QPolygonF({{18.5, 2.5}, {24.5, 8.5}, {18.5, 8.5}}));

    p.setPen(Qt::NoPen);
    for (qreal top : {11.0, 14.0, 17.0})
        p.fillRect(QRectF(8, top, 8, 1), text_line);

    p.fillRect(QRectF(7, 21, 16, 6), drive_edge);
    p.fillRect(QRectF(8, 22, 14, 4), drive);
    p.fillRect(QRectF(9, 23, 1, 2), light);

    // The arrow's head is lit along its two slanted edges only, not along its base.
    const QPolygonF head({{19.0, 16.0}, {24.5, 10.0}, {30.0, 16.0}});
    p.setBrush(arrow);
    p.drawPolygon(head);
    p.fillRect(QRectF(22, 16, 5, 7), arrow);
    p.setPen(QPen(light, 0.75, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
    p.drawPolyline(head);
    return image;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s ICON_XPM OUTPUT_DIR NAME SIZE...\n", argv[0]);
        return 2;
    }
    const QImage original(QString::fromLocal8Bit(argv[1]));
    if (original.size() != QSize(design_size, design_size)) {
        std::fprintf(stderr, "draw_icon: %s is no %d x %d image\n", argv[1], design_size,
                     design_size);
        return 1;
    }
    const QDir output(QString::fromLocal8Bit(argv[2]));
    const QString name = QString::fromLocal8Bit(argv[3]);
    for (int i = 4; i < argc; ++i) {
        const int size = QByteArray(argv[i]).toInt();
        if (size < design_size) {
            std::fprintf(stderr, "draw_icon: %s is no size from %d up\n", argv[i], design_size);
            return 1;
        }
        const QString folder = QStringLiteral("%1x%1/apps").arg(size);
        const QString file = output.filePath(folder + u'/' + name + QStringLiteral(".png"));
        const QImage icon = size == design_size ? original : drawn(size);
        if (!output.mkpath(folder) || !icon.save(file, "PNG")) {
            std::fprintf(stderr, "draw_icon: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
