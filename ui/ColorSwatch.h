#pragma once

#include <QColor>
#include <QWidget>

// Shows a colour over a chequered ground, so transparency is visible; a clear colour shows the
// ground alone, and no colour at all (an invalid one) a white swatch struck through.
class ColorSwatch final : public QWidget {
    Q_OBJECT
public:
    explicit ColorSwatch(QWidget* parent = nullptr);

    void setColor(const QColor& color);
    QColor color() const { return m_color; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_color = QColor(Qt::transparent);
};
