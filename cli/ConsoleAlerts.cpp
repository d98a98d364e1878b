#include "ConsoleAlerts.h"

#include <QUrl>

ConsoleAlerts::ConsoleAlerts(std::function<void(const QString&)> print)
    : m_print(std::move(print)) {}

void ConsoleAlerts::showAlert(const QString& message) {
    m_print(message);
}

void ConsoleAlerts::showAlert(const QString& message, const QString& detail) {
    m_print(detail.isEmpty() ? message : message + QLatin1Char(' ') + detail);
}

void ConsoleAlerts::showSheetAlert(const SheetAlert& alert, std::function<void(int)> done) {
    showAlert(alert.messageText, alert.informativeText);
    if (done) done(static_cast<int>(alert.buttons.indexOf(QStringLiteral("Cancel"))));
}

bool ConsoleAlerts::openUrl(const QUrl& url) {
    // Nothing is opened from a terminal; the address is shown instead.
    m_print(QStringLiteral("Open %1 in a browser.").arg(url.toString()));
    return false;
}
