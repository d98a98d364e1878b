#include "ConsoleAlerts.h"

#include <QUrl>

ConsoleAlerts::ConsoleAlerts(std::function<void(const QString&)> print)
    : m_print(std::move(print)) {}

void ConsoleAlerts::showAlert(const QString& message) {
    m_print(message);
}

QString ConsoleAlerts::line(const QString& message, const QString& detail) {
    if (detail.isEmpty()) return message;
    // A heading without a stop of its own ("The disk holding the output folder is full") takes
    // its detail after a colon; the detail's further lines are indented under it.
    const QChar last = message.isEmpty() ? QChar() : message.back();
    const bool ended = last == QLatin1Char('.') || last == QLatin1Char('!') ||
                       last == QLatin1Char('?') || last == QLatin1Char(':');
    QString text = detail;
    text.replace(QLatin1Char('\n'), QStringLiteral("\n  "));
    return message + (ended ? QStringLiteral(" ") : QStringLiteral(": ")) + text;
}

void ConsoleAlerts::showAlert(const QString& message, const QString& detail) {
    m_print(line(message, detail));
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
