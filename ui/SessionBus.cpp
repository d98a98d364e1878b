#include "SessionBus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

SessionBus::SessionBus(QObject* parent) : DesktopBus(parent) {}

bool SessionBus::hasService(const QString& name) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()) return false;
    if (bus.interface()->isServiceRegistered(name).value()) return true;
    return bus.interface()->activatableServiceNames().value().contains(name);
}

void SessionBus::send(const QDBusMessage& message,
                      std::function<void(const QDBusMessage& reply)> replied) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    if (!m_listening && message.service() == QLatin1String("org.freedesktop.Notifications")) {
        m_listening = bus.connect(QString(), QStringLiteral("/org/freedesktop/Notifications"),
                                  QStringLiteral("org.freedesktop.Notifications"),
                                  QStringLiteral("ActionInvoked"), this,
                                  SLOT(onActionInvoked(uint, QString)));
    }
    if (message.type() != QDBusMessage::MethodCallMessage || !replied) {
        bus.send(message);
        return;
    }
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [replied = std::move(replied)](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                if (!call->isError()) replied(call->reply());
            });
}

void SessionBus::onActionInvoked(uint id, const QString& actionKey) {
    emit notificationActionInvoked(id, actionKey);
}
