#pragma once

#include <QDBusMessage>
#include <QObject>
#include <functional>

// The window's way to the desktop session bus. The real one is SessionBus; tests replace it with
// a recorder that checks the messages built and sends nothing.
class DesktopBus : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // Whether a service of that name runs, or would be started on the first call.
    virtual bool hasService(const QString& name) = 0;
    // Sends a signal, or a method call; a call's reply goes to `replied` when one is given.
    virtual void send(const QDBusMessage& message,
                      std::function<void(const QDBusMessage& reply)> replied = {}) = 0;

signals:
    // The user chose an action of a desktop notification.
    void notificationActionInvoked(uint id, const QString& actionKey);
};
