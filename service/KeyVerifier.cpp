#include "KeyVerifier.h"

#include "AlertPresenter.h"
#include "AppContext.h"
#include "CreditService.h"
#include "Notifier.h"
#include "ServiceSession.h"
#include "SettingsStore.h"
#include "UserDefaultKeys.h"

#include <QPointer>

namespace {

const QString kEndpoint = QStringLiteral("api_key_verification");
const QString kMessageKey = QStringLiteral("message");
const QString kSuccessMessage = QStringLiteral("success");
// Not the credit check's "Invalid API Key": this site has its own wording.
const QString kInvalidKeyAlert = QStringLiteral("Invalid Api key");
const QString kEmptyKeyDetail = QStringLiteral(
    "The API key field is empty. Paste the key from your account: Get API Key "
    "opens the page that shows it.");
const QString kRefusedKeyDetail = QStringLiteral(
    "The service did not accept this key. Check it for a missing or extra "
    "character, or copy it again from your account (Get API Key).");

}  // namespace

KeyVerifier::KeyVerifier(AppContext& context, ServiceSession& session, QObject* parent)
    : QObject(parent), m_context(context), m_session(session) {}

void KeyVerifier::verifyAndSave(const QString& folderText, const QString& typedKey) {
    // The folder is kept whatever the service says about the key.
    m_context.settings.setString(UserDefaultKeys::outputFolder, folderText);

    // Blanks around a pasted key are never part of it.
    const QString key = typedKey.trimmed();
    const QUrl url = m_context.service.endpointUrl(kEndpoint);
    const QList<FormPart> parts{FormPart::text(QByteArrayLiteral("api_key"), key)};
    m_session.postForm(url, parts, {},
                       [self = QPointer<KeyVerifier>(this), key](const JsonReply& reply) {
                           if (self) self->handleReply(reply, key);
                       });
}

void KeyVerifier::handleReply(const JsonReply& reply, const QString& key) {
    if (!reply.hasValue) {
        // Nothing was said about the key; the stored one stays.
        CreditService::showUnreachable(m_context.alerts, m_context.service.baseUrl(), reply);
        emit replyHandled();
        return;
    }

    const QJsonValue value = reply.object.value(kMessageKey);
    const QString message = value.isString() ? value.toString() : QString();
    if (value.isString() && message == kSuccessMessage) {
        // The text that was verified, whatever the field holds by now.
        m_context.settings.setString(UserDefaultKeys::apiKey, key);
        m_context.notifier.postUpdateCredit();
        emit dismissRequested();
    } else if (reply.failure().kind == ServiceFailure::Kind::KeyRefused) {
        // The service's word stays; what to do about it comes with it.
        m_context.alerts.showAlert(kInvalidKeyAlert,
                                   key.isEmpty() ? kEmptyKeyDetail : kRefusedKeyDetail);
        // A mistyped new key does not cost the working one; a stored key that is refused goes.
        if (key == m_context.settings.apiKey()) {
            m_context.settings.credentialReset(m_context.credits);
            m_context.notifier.postUpdateCredit();
        }
        emit keyRejected();
    }
    emit replyHandled();
}
