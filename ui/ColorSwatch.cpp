#include "ColorSwatch.h"

#include <QPainter>
#include <QPainterPath>

ColorSwatch::ColorSwatch(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void ColorSwatch::setColor(const QColor& color) {
    if (color == m_color) return;
    m_color = color;
    update();
}

void ColorSwatch::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
    p.setClipPath(shape);
    p.fillRect(rect(), Qt::white);
    if (!m_color.isValid()) {
        p.setPen(QPen(QColor(0xd9, 0x30, 0x25), 1.5));
        p.drawLine(QPointF(width() - 1.5, 1.5), QPointF(1.5, height() - 1.5));
        return;
    }
    constexpr int kSquare = 5;
    for (int y = 0; y < height(); y += kSquare)
        for (int x = 0; x < width(); x += kSquare)
            if (((x + y) / kSquare) % 2) p.fillRect(x, y, kSquare, kSquare, QColor(214, 214, 214));
    p.fillRect(rect(), m_color);
}
