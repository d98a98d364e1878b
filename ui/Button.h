#pragma once

#include <QPushButton>

// The application's push button: the pointing-hand cursor over its whole bounds.
class Button final : public QPushButton {
    Q_OBJECT
public:
    explicit Button(QWidget* parent = nullptr);
    explicit Button(const QString& text, QWidget* parent = nullptr);
};
