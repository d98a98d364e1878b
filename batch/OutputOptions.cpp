#include "OutputOptions.h"

#include <cmath>

OutputOptions::OutputOptions(QObject* parent) : QObject(parent) {}

QString OutputOptions::hexString(const QColor& color) {
    if (!color.isValid()) return QStringLiteral("FFFFFF");
    const QColor rgb = color.toRgb();
    if (!rgb.isValid()) return QStringLiteral("FFFFFF");
    auto component = [](float value) { return static_cast<int>(std::round(static_cast<double>(value) * 255.0)); };
    return QString::asprintf("#%02X%02X%02X", component(rgb.redF()), component(rgb.greenF()), component(rgb.blueF()));
}
