#include "app/AppIcon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace quarvel {

namespace {

// Drawn on a 48 x 48 grid and scaled, so every size shows the same picture.
QPixmap DrawIcon(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 48.0, size / 48.0);

    QLinearGradient sky(0, 0, 0, 48);
    sky.setColorAt(0, QColor(0x2b, 0x7b, 0xb9));
    sky.setColorAt(1, QColor(0x16, 0x3d, 0x66));
    painter.setPen(Qt::NoPen);
    painter.setBrush(sky);
    painter.drawRoundedRect(QRectF(1, 1, 46, 46), 9, 9);

    // The drum: the database the history goes into.
    const QColor amber(0xf5, 0xb0, 0x2e);
    const QColor amberDark(0xc9, 0x82, 0x10);
    painter.setBrush(amber);
    painter.drawRect(QRectF(14, 31, 20, 9));
    painter.setBrush(amberDark);
    painter.drawEllipse(QRectF(14, 36, 20, 8));
    painter.setBrush(amber);
    painter.drawEllipse(QRectF(14, 27, 20, 8));

    // The trend line, ending in an arrow head pointing into the drum.
    QPen trend(Qt::white, 4.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(trend);
    painter.setBrush(Qt::NoBrush);
    QPainterPath line;
    line.moveTo(6, 19);
    line.lineTo(13, 11);
    line.lineTo(19, 16);
    line.lineTo(24, 7);
    line.lineTo(24, 24);
    painter.drawPath(line);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    const QPointF head[] = {{17.5, 21}, {30.5, 21}, {24, 29}};
    painter.drawPolygon(head, 3);
    return pixmap;
}

}  // namespace

QIcon AppIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128}) icon.addPixmap(DrawIcon(size));
    return icon;
}

}  // namespace quarvel
