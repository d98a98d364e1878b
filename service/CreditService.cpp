#include "CreditService.h"

#include "AlertPresenter.h"
#include "AppContext.h"
#include "ConsoleLog.h"
#include "CreditRecord.h"
#include "ErrorMsg.h"
#include "ServiceSession.h"
#include "SettingsStore.h"
#include "UserDetailsModel.h"

#include <QMetaObject>
#include <QPointer>
#include <QStringList>

namespace {

const QString kEndpoint = QStringLiteral("credit_check");
const QString kFreeKey = QStringLiteral("other_remain_credit");
// The service spells this key with a space after "you".
const QString kTopUpKey = QStringLiteral("pay_as_you _go_plan_remain_credit");
const QString kSubscriptionKey = QStringLiteral("subscription_plan_remain_credit");
const QString kInvalidKeyAlert = QStringLiteral("Invalid API Key");

// What the log says about a form: its field names, never their values (the key is secret).
QString describeForm(const QList<FormPart>& parts) {
    QStringList names;
    for (const FormPart& part : parts) names.append(QString::fromUtf8(part.name));
    return QStringLiteral("multipart form-data, %1 part(s): %2")
        .arg(parts.size())
        .arg(names.join(QStringLiteral(", ")));
}

}  // namespace

CreditService::CreditService(AppContext& context, ServiceSession& session, QObject* parent)
    : QObject(parent),
      m_context(context),
      m_session(session),
      m_displayText(creditText(context.credits.snapshot())) {}

void CreditService::getCreditDetails() {
    fetchBalances(m_context.settings.apiKey(), true, nullptr);
}

void CreditService::showUnreachable(AlertPresenter& alerts, const QUrl& service,
                                    const JsonReply& reply) {
    ServiceFailure failure = reply.failure();
    // A certificate that cannot be trusted is the whole message: the key was never sent.
    if (failure.untrusted) return alerts.showAlert(failure.haltText());
    if (failure.reason.isEmpty()) failure.reason = reply.description;
    alerts.showAlert(ErrorMsg::somethingWentWrongLower,
                     failure.haltText(service) + QStringLiteral(" Your API key is kept."));
}

void CreditService::fetchBalances(const QString& key, bool forgetRefusedKey,
                                  std::function<void(const ServiceFailure&)> done) {
    if (key.isEmpty()) {
        refreshDisplay();
        if (done)
            QMetaObject::invokeMethod(
                this,
                [done] {
                    ServiceFailure none;
                    none.kind = ServiceFailure::Kind::KeyRefused;
                    none.reason = QStringLiteral("no API key");
                    done(none);
                },
                Qt::QueuedConnection);
        return;
    }
    const QUrl url = m_context.service.endpointUrl(kEndpoint);
    const QList<FormPart> parts{FormPart::text(QByteArrayLiteral("api_key"), key)};
    ConsoleLog::line(describeForm(parts));
    ConsoleLog::line(url.toString());

    m_session.postForm(
        url, parts, {},
        [self = QPointer<CreditService>(this), done, forgetRefusedKey](const JsonReply& reply) {
            if (!self) return;
            self->handleReply(reply, forgetRefusedKey);
            if (done) done(self->m_lastFailure);
        });
}

void CreditService::handleReply(const JsonReply& reply, bool forgetRefusedKey) {
    m_lastFailure = reply.failure();
    if (m_lastFailure.ok() || m_lastFailure.kind == ServiceFailure::Kind::Permanent)
        m_lastFailure = ServiceFailure{ServiceFailure::Kind::Halt,
                                       QStringLiteral("the service sent no balances"), -1, true};
    if (!reply.hasValue) {
        // Not reaching the service says nothing about the key: it stays stored.
        refreshDisplay();
        showUnreachable(m_context.alerts, m_context.service.baseUrl(), reply);
        emit replyHandled();
        return;
    }

    const QJsonObject& object = reply.object;
    const auto free = UserDetailsModel::jsonInteger(object.value(kFreeKey));
    const auto topUp = UserDetailsModel::jsonInteger(object.value(kTopUpKey));
    const auto subscription = UserDetailsModel::jsonInteger(object.value(kSubscriptionKey));
    if (free && topUp && subscription) {
        m_context.credits.setBalances(*free, *topUp, *subscription);
        m_lastFailure = ServiceFailure{};
        refreshDisplay();
        emit replyHandled();
        return;
    }

    if (reply.failure().kind == ServiceFailure::Kind::KeyRefused) {
        m_context.alerts.showAlert(kInvalidKeyAlert);
        if (forgetRefusedKey)
            m_context.settings.credentialReset(m_context.credits);
        else
            m_context.credits.clearBalances();
        refreshDisplay();
    }
    emit replyHandled();
}

void CreditService::refreshDisplay() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_displayText = creditText(m_context.credits.snapshot());
            emit displayTextChanged(m_displayText);
        },
        Qt::QueuedConnection);
}

QString CreditService::creditText(const UserDetailsModel& model) {
    if (!model.hasBalances()) return kUnknownCredits;
    return QStringLiteral("Free credit: ") + QString::number(model.freeBalance()) +
           QStringLiteral("  Top up plan: ") + QString::number(model.topUpBalance()) +
           QStringLiteral("  Subscription plan: ") + QString::number(model.subscriptionBalance()) +
           QStringLiteral("  |  Total credits: ") + QString::number(model.creditTotal());
}
