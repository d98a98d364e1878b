#pragma once

#include <QColor>
#include <QObject>
#include <QString>

// What the user chose for the results: a transparent or coloured background, the colour, and the
// output format. The window renders it and forwards the user's choices to it.
class OutputOptions final : public QObject {
    Q_OBJECT
public:
    explicit OutputOptions(QObject* parent = nullptr);

    bool isColored = false;
    QString selectedColor;               // "#RRGGBB", or empty when no colour was chosen
    QString imgFormat = QStringLiteral("png");  // "png" or "jpg"

    // "#%02X%02X%02X" of the colour's RGB components, halves rounded away from zero, alpha
    // ignored; "FFFFFF" when the colour has no RGB form.
    static QString hexString(const QColor& color);

signals:
    void changed();
};
