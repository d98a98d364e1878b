#pragma once

#include <QColor>
#include <QObject>
#include <QString>

// What the user chose for the results: a transparent or coloured background, the colour, and the
// output format. The window renders these fields and forwards the user's choices to the
// operations below; the colour dialog follows the two panel signals.
class OutputOptions final : public QObject {
    Q_OBJECT
public:
    explicit OutputOptions(QObject* parent = nullptr);

    bool isColored = false;
    QString selectedColor;                      // "#RRGGBB", or empty when no colour was chosen
    QString imgFormat = QStringLiteral("png");  // "png" or "jpg"
    bool transparentEnabled = true;             // the transparent option can be chosen (PNG only)
    QColor swatchColor = QColor(Qt::transparent);  // what the swatch shows, alpha included
    // The colour control opened the colour panel and has not closed it since. Closing the panel
    // any other way (its own close button, a format choice, quitting) leaves the flag set, so
    // the next press of the colour control only clears it.
    bool isOpenColorPanel = false;

    // The transparent option: no colour, a clear swatch. Ignored while the format is JPG.
    void chooseTransparent();
    // The coloured option; the colour chosen earlier, if any, is kept.
    void chooseColored();
    // The colour control: opens the colour panel, or closes it when it opened it last.
    void setColor();
    // The colour panel's colour changed.
    void colorDidChange(const QColor& color);
    // The user closed the colour panel with its own buttons: kept, or cancelled back to the
    // colour it opened with (`before`, "#RRGGBB" or empty). Either way the next press of the
    // colour control opens it again.
    void colorPanelDone(bool kept, const QString& before);
    // The output format by the title of the chosen item: "PNG" is png, anything else jpg, which
    // has no transparency and so forces the coloured option.
    void chooseOption(const QString& title);

    // "#%02X%02X%02X" of the colour's RGB components, halves rounded away from zero, alpha
    // ignored; "FFFFFF" when the colour has no RGB form.
    static QString hexString(const QColor& color);

signals:
    void changed();
    void colorPanelOpenRequested();
    void colorPanelCloseRequested();

private:
    void closePanelIfOpenedHere();
};
