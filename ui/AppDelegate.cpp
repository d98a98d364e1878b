#include "AppDelegate.h"

#include "ConsoleLog.h"
#include "ViewController.h"

#include <QCoreApplication>
#include <QSystemTrayIcon>

AppDelegate::AppDelegate(ViewController& window, QObject* parent)
    : QObject(parent), m_window(window), m_statusItem(new QSystemTrayIcon(this)) {
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] { m_window.closeColorPanel(); });
}

QString AppDelegate::quote() {
    return QStringLiteral("Never put off until tomorrow what you can do the day after tomorrow.") +
           QStringLiteral(" \u2014 Mark Twain");
}

void AppDelegate::printQuote() {
    ConsoleLog::line(lcUi(), quote());
}
