#pragma once

#include "DesktopBus.h"

// The user's D-Bus session bus. Without one, no service is found and nothing is sent.
class SessionBus final : public DesktopBus {
    Q_OBJECT
public:
    explicit SessionBus(QObject* parent = nullptr);

    bool hasService(const QString& name) override;
    void send(const QDBusMessage& message,
              std::function<void(const QDBusMessage& reply)> replied = {}) override;

private slots:
    void onActionInvoked(uint id, const QString& actionKey);

private:
    bool m_listening = false;
};
