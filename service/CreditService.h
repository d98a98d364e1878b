#pragma once

#include <QObject>

#include <QString>
#include <functional>
#include "ServiceFailure.h"

struct AppContext;
class AlertPresenter;
struct JsonReply;
class ServiceSession;
class UserDetailsModel;

// The credit check ("credit_check") and the credit display. The display text is rewritten from
// the shared credit record on the next turn of the event loop after each refresh request.
class CreditService final : public QObject {
    Q_OBJECT
public:
    explicit CreditService(AppContext& context, ServiceSession& session, QObject* parent = nullptr);

    // Asks the service for the three balances of the stored key. With no key stored nothing is
    // sent (there is nothing to ask about).
    void getCreditDetails();
    // Asks for the balances of `key`; `done` learns what failed (Kind::None when balances were
    // answered). With `forgetRefusedKey` a key the service refuses is dropped from the settings.
    void fetchBalances(const QString& key, bool forgetRefusedKey,
                       std::function<void(const ServiceFailure&)> done);
    // Schedules the rewriting of the display from the shared credit record.
    void refreshDisplay();
    // The display as last rewritten.
    QString displayText() const { return m_displayText; }

    // "Free credit: F  Top up plan: T  Subscription plan: S  |  Total credits: F+T+S", or
    // "Credits: —" while no balance is known.
    static QString creditText(const UserDetailsModel& model);
    static inline const QString kUnknownCredits = QStringLiteral("Credits: \u2014");
    // Applies a "credit_check" reply (public so tests and fuzzers can feed replies directly).
    void handleReply(const JsonReply& reply, bool forgetRefusedKey = true);
    // Tells the user that the service could not be asked, and why.
    static void showUnreachable(AlertPresenter& alerts, const QUrl& service,
                                const JsonReply& reply);

signals:
    void displayTextChanged(const QString& text);
    // A reply (or its absence) has been applied: the record, the stored key and the alerts are
    // up to date; the display follows on the next turn of the event loop.
    void replyHandled();

private:
    AppContext& m_context;
    ServiceSession& m_session;
    QString m_displayText;
    ServiceFailure m_lastFailure;  // what the last reply lacked; Kind::None when it had balances
};
