#pragma once

#include <QObject>
#include <QString>

class QSystemTrayIcon;
class ViewController;

// The application object's behaviour: a status item created at start and never shown, the colour
// panel closed when the application quits, and a quotation logged on request.
class AppDelegate final : public QObject {
    Q_OBJECT
public:
    explicit AppDelegate(ViewController& window, QObject* parent = nullptr);

    QSystemTrayIcon* statusItem() const { return m_statusItem; }
    static QString quote();
    // Writes the quotation to the "vorpane.ui" log. Nothing in the application sends it.
    void printQuote();

private:
    ViewController& m_window;
    QSystemTrayIcon* m_statusItem;
};
