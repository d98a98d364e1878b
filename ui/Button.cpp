#include "Button.h"

#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

Button::Button(QWidget* parent) : Button(QString(), parent) {}

Button::Button(const QString& text, QWidget* parent) : QPushButton(text, parent) {
    setCursor(Qt::PointingHandCursor);
}

SplitButton::SplitButton(const QString& text, QWidget* parent) : Button(text, parent) {}

void SplitButton::showDropDown() {
    if (!m_dropDown) return;
    m_dropDown->popup(mapToGlobal(QPoint(0, height())));
}

void SplitButton::paintEvent(QPaintEvent* event) {
    Button::paintEvent(event);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor ink =
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText);
    // A divider between the two parts, then a chevron in the arrow part.
    const int x = width() - kArrowWidth;
    QColor divider = ink;
    divider.setAlphaF(0.25f);
    painter.setPen(QPen(divider, 1));
    painter.drawLine(QPointF(x + 0.5, 8), QPointF(x + 0.5, height() - 8));
    const QPointF centre(x + kArrowWidth / 2.0, height() / 2.0 + 1);
    QPainterPath chevron;
    chevron.moveTo(centre + QPointF(-4, -2));
    chevron.lineTo(centre + QPointF(0, 2));
    chevron.lineTo(centre + QPointF(4, -2));
    painter.setPen(QPen(ink, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(chevron);
}

void SplitButton::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && event->position().x() >= width() - kArrowWidth) {
        showDropDown();
        event->accept();
        return;
    }
    Button::mousePressEvent(event);
}

void SplitButton::keyPressEvent(QKeyEvent* event) {
    const bool altDown = event->key() == Qt::Key_Down && (event->modifiers() & Qt::AltModifier);
    if (altDown || event->key() == Qt::Key_F4) {
        showDropDown();
        event->accept();
        return;
    }
    Button::keyPressEvent(event);
}
