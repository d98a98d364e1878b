#pragma once

#include <QObject>

// The application's notification centre: one instance per process, handed to whoever posts or
// listens.
class Notifier final : public QObject {
    Q_OBJECT
public:
    explicit Notifier(QObject* parent = nullptr);
    // Posts "updateCredit": listeners fetch the balances again.
    void postUpdateCredit();

signals:
    void updateCredit();
};
