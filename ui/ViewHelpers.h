#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QPointF>
#include <QString>

class QAbstractButton;
class QWidget;

// Modal message with one "OK" button; confirming it also puts the message on the clipboard. Its
// icon follows the message's severity (alertSeverity); `detail` says more below it.
void showAlert(const QString& message, QWidget* parent = nullptr,
               const QString& detail = QString());

enum class AlertSeverity { Information, Warning, Critical };
// A broken exchange is critical; a refused or impossible request is a warning; the rest informs.
AlertSeverity alertSeverity(const QString& message);

// Styles a push button: centred title in the given font and colour, flat, the background colour
// with rounded corners, the icon (if any) left of the title.
void applyButtonStyle(QAbstractButton* button, const QString& title, const QFont& font,
                      const QColor& textColor, const QColor& backgroundColor, bool bordered,
                      bool layerBacked, const QIcon& image = QIcon());

// Gives `target` a soft drop shadow. `container` is the view the shadow is drawn over. The
// shadow falls below and to the right of the target by the offset's lengths.
void applyShadow(QWidget* container, QWidget* target, const QColor& color, float opacity,
                 const QPointF& offset, qreal radius);

// Decodes image bytes; a null image when they are not an image.
QImage imageFromBytes(const QByteArray& bytes);

// A picture of the application's resources (":/icons/…") at `side` points, sharp on the
// widget's screen.
QPixmap iconPixmap(const QString& resource, int side, const QWidget* widget = nullptr);
