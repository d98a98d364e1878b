#include "ViewHelpers.h"

#include <QAbstractButton>
#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QGraphicsDropShadowEffect>
#include <QImageReader>
#include <QMessageBox>
#include <QPushButton>

AlertSeverity alertSeverity(const QString& message) {
    if (message.startsWith(QLatin1String("Oops!"))) return AlertSeverity::Critical;
    static const char* const warnings[] = {
        "invalid",     "could not",     "cannot",          "does not exist", "already in",
        "larger than", "please choose", "no file manager", "read-only",      "is full"};
    for (const char* words : warnings)
        if (message.contains(QLatin1String(words), Qt::CaseInsensitive))
            return AlertSeverity::Warning;
    return AlertSeverity::Information;
}

void showAlert(const QString& message, QWidget* parent, const QString& detail) {
    QMessageBox box(parent);
    switch (alertSeverity(message)) {
        case AlertSeverity::Critical:
            box.setIcon(QMessageBox::Critical);
            break;
        case AlertSeverity::Warning:
            box.setIcon(QMessageBox::Warning);
            break;
        case AlertSeverity::Information:
            box.setIcon(QMessageBox::Information);
            break;
    }
    box.setText(message);
    box.setInformativeText(detail);
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    if (box.exec() == QMessageBox::Ok) {
        QClipboard* clipboard = QGuiApplication::clipboard();
        clipboard->clear();
        clipboard->setText(detail.isEmpty() ? message : message + QLatin1Char('\n') + detail);
    }
}

void applyButtonStyle(QAbstractButton* button, const QString& title, const QFont& font,
                      const QColor& textColor, const QColor& backgroundColor, bool bordered,
                      bool layerBacked, const QIcon& image) {
    if (!button) return;
    button->setText(title);
    button->setFont(font);
    button->setIcon(image);
    if (auto* push = qobject_cast<QPushButton*>(button)) push->setFlat(!bordered);
    const QString background =
        (layerBacked || backgroundColor.alpha() > 0) && backgroundColor.alpha() > 0
            ? backgroundColor.name(QColor::HexArgb)
            : QStringLiteral("transparent");
    const QString border = bordered ? QStringLiteral("1px solid #c8c8c8") : QStringLiteral("none");
    // Disabled: a flat grey, whatever the colour, so that it never passes for an enabled button.
    const bool light = backgroundColor.alpha() == 0 || backgroundColor.lightness() > 230;
    const QString disabledBackground = backgroundColor.alpha() == 0 ? QStringLiteral("transparent")
                                       : light                      ? backgroundColor.name()
                                                                    : QStringLiteral("#cfd4dc");
    const QString disabledText = light ? QStringLiteral("#a3a9b2") : QStringLiteral("#f3f4f6");
    button->setStyleSheet(
        QStringLiteral("QAbstractButton { color: %1; background-color: %2; border: %3; "
                       "border-radius: 5px; padding: 4px 10px; }"
                       "QAbstractButton:disabled { color: %5; background-color: %4; }"
                       "QAbstractButton:focus { outline: none; border: 2px solid #0d2a5e; }")
            .arg(textColor.name(QColor::HexArgb), background, border, disabledBackground,
                 disabledText));
}

void applyShadow(QWidget* container, QWidget* target, const QColor& color, float opacity,
                 const QPointF& offset, qreal radius) {
    Q_UNUSED(container);
    if (!target) return;
    auto* effect = new QGraphicsDropShadowEffect(target);
    QColor c = color;
    // A full-strength shadow a pixel or two wide reads as a hard dark edge; kept to a third, it
    // reads as depth.
    c.setAlphaF(opacity / 3);
    effect->setColor(c);
    // Light comes from above: the shadow falls below the target (and, a little, to its right).
    effect->setOffset(qAbs(offset.x()), qAbs(offset.y()));
    effect->setBlurRadius(radius * 3);
    target->setGraphicsEffect(effect);
}

QImage imageFromBytes(const QByteArray& bytes) {
    QBuffer buffer;
    buffer.setData(bytes);
    if (!buffer.open(QIODevice::ReadOnly)) return QImage();
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    return reader.read();
}

QPixmap iconPixmap(const QString& resource, int side, const QWidget* widget) {
    const qreal ratio = widget ? widget->devicePixelRatioF() : qApp->devicePixelRatio();
    return QIcon(resource).pixmap(QSize(side, side), ratio);
}
