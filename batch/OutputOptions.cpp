#include "OutputOptions.h"

#include <cmath>

OutputOptions::OutputOptions(QObject* parent) : QObject(parent) {}

void OutputOptions::closePanelIfOpenedHere() {
    if (!isOpenColorPanel) return;
    isOpenColorPanel = false;
    emit colorPanelCloseRequested();
}

void OutputOptions::chooseTransparent() {
    if (!transparentEnabled) return;  // a JPG has no transparency
    closePanelIfOpenedHere();
    isColored = false;
    selectedColor.clear();
    swatchColor = QColor(Qt::transparent);
    emit changed();
}

void OutputOptions::chooseColored() {
    closePanelIfOpenedHere();
    isColored = true;
    emit changed();
}

void OutputOptions::setColor() {
    if (isOpenColorPanel) {
        isOpenColorPanel = false;
        emit colorPanelCloseRequested();
        emit changed();
        return;
    }
    isColored = true;
    isOpenColorPanel = true;
    emit changed();
    emit colorPanelOpenRequested();
}

void OutputOptions::colorDidChange(const QColor& color) {
    selectedColor = hexString(color);
    swatchColor = color;
    emit changed();
}

void OutputOptions::colorPanelDone(bool kept, const QString& before) {
    isOpenColorPanel = false;
    if (!kept) {
        selectedColor = before;
        swatchColor = before.isEmpty() ? QColor(Qt::transparent) : QColor(before);
    }
    emit changed();
}

void OutputOptions::chooseOption(const QString& title) {
    emit colorPanelCloseRequested();  // the flag keeps its value
    if (title == QLatin1String("PNG")) {
        imgFormat = QStringLiteral("png");
        transparentEnabled = true;
    } else {
        imgFormat = QStringLiteral("jpg");
        transparentEnabled = false;
        isColored = true;
    }
    emit changed();
}

QString OutputOptions::hexString(const QColor& color) {
    if (!color.isValid()) return QStringLiteral("FFFFFF");
    const QColor rgb = color.toRgb();
    if (!rgb.isValid()) return QStringLiteral("FFFFFF");
    auto component = [](float value) {
        return static_cast<int>(std::round(static_cast<double>(value) * 255.0));
    };
    return QString::asprintf("#%02X%02X%02X", component(rgb.redF()), component(rgb.greenF()),
                             component(rgb.blueF()));
}
