#include "ui/ZylUiImages.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QStyle>

#include <functional>

namespace {
// An icon drawn at 16 and 32 pixels on a 16-unit canvas.
QIcon Drawn(const std::function<void(QPainter&)>& draw) {
    QIcon icon;
    for (int size : {16, 32}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(size / 16.0, size / 16.0);
        draw(painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QIcon Person(const QColor& color) {
    return Drawn([color](QPainter& p) {
        p.setPen(QPen(color.darker(150), 0.8));
        p.setBrush(color);
        p.drawEllipse(QRectF(5, 1.5, 6, 6));
        p.drawRoundedRect(QRectF(2.5, 8.5, 11, 6.5), 3, 3);
    });
}

QIcon Arrow(const QColor& color, bool down) {
    return Drawn([color, down](QPainter& p) {
        QPainterPath path;
        if (down) {
            path.moveTo(6, 1.5);
            path.lineTo(10, 1.5);
            path.lineTo(10, 7.5);
            path.lineTo(13.5, 7.5);
            path.lineTo(8, 14.5);
            path.lineTo(2.5, 7.5);
            path.lineTo(6, 7.5);
        } else {
            path.moveTo(6, 14.5);
            path.lineTo(10, 14.5);
            path.lineTo(10, 8.5);
            path.lineTo(13.5, 8.5);
            path.lineTo(8, 1.5);
            path.lineTo(2.5, 8.5);
            path.lineTo(6, 8.5);
        }
        path.closeSubpath();
        p.setPen(QPen(color.darker(160), 0.8));
        p.setBrush(color);
        p.drawPath(path);
    });
}

QIcon Standard(QStyle::StandardPixmap pixmap) {
    return QApplication::style()->standardIcon(pixmap);
}
} // namespace

QIcon ZylTreeImage(int index) {
    switch (index) {
    case 0: {
        // Two people: the friends.
        return Drawn([](QPainter& p) {
            for (const auto& [x, color] :
                 {std::pair{0.0, QColor(70, 130, 200)}, std::pair{5.0, QColor(90, 170, 90)}}) {
                p.setPen(QPen(color.darker(150), 0.8));
                p.setBrush(color);
                p.drawEllipse(QRectF(x + 2, 2, 5, 5));
                p.drawRoundedRect(QRectF(x + 0.5, 8, 8, 6.5), 2.5, 2.5);
            }
        });
    }
    case 1:
        return Person(QColor(60, 170, 70));
    case 2:
        return Person(QColor(160, 160, 160));
    case 3:
        return Standard(QStyle::SP_DriveFDIcon);
    case 4:
        return Standard(QStyle::SP_DriveHDIcon);
    case 5:
        return Standard(QStyle::SP_DirClosedIcon);
    case 6:
        return Standard(QStyle::SP_DirOpenIcon);
    default:
        return Standard(QStyle::SP_FileIcon);
    }
}

QIcon ZylTaskImage(int index) {
    switch (index) {
    case 0:
        return Arrow(QColor(40, 160, 60), true);
    case 1:
        return Arrow(QColor(40, 110, 200), false);
    case 2:
        return Drawn([](QPainter& p) {
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(150, 150, 150));
            p.drawRect(QRectF(3.5, 2.5, 3.5, 11));
            p.drawRect(QRectF(9, 2.5, 3.5, 11));
        });
    default:
        return Drawn([](QPainter& p) {
            p.setPen(QPen(QColor(30, 140, 50), 2.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            p.drawPolyline(QPolygonF({QPointF(2.5, 8.5), QPointF(6.5, 12.5), QPointF(13.5, 3.5)}));
        });
    }
}

QIcon ZylFrameIcon() {
    return Drawn([](QPainter& p) {
        p.setPen(QPen(QColor(20, 70, 140), 0.8));
        p.setBrush(QColor(50, 120, 210));
        p.drawRoundedRect(QRectF(0.5, 0.5, 15, 15), 3, 3);
        p.setPen(QPen(Qt::white, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(QPolygonF({QPointF(4, 3), QPointF(4, 12), QPointF(1.8, 9.5)}));
        p.drawPolyline(QPolygonF({QPointF(4, 12), QPointF(6.2, 9.5)}));
        p.drawPolyline(QPolygonF({QPointF(12, 13), QPointF(12, 4), QPointF(9.8, 6.5)}));
        p.drawPolyline(QPolygonF({QPointF(12, 4), QPointF(14.2, 6.5)}));
    });
}
