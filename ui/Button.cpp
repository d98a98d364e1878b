#include "Button.h"

Button::Button(QWidget* parent) : Button(QString(), parent) {}

Button::Button(const QString& text, QWidget* parent) : QPushButton(text, parent) {
    setCursor(Qt::PointingHandCursor);
}
