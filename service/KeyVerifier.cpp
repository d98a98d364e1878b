#include "KeyVerifier.h"

#include "AlertPresenter.h"
#include "AppContext.h"
#include "Notifier.h"
#include "ServiceSession.h"
#include "SettingsStore.h"
#include "UserDefaultKeys.h"

#include <QPointer>

namespace {

const QString kEndpoint = QStringLiteral("api_key_verification");
const QString kMessageKey = QStringLiteral("message");
const QString kSuccessMessage = QStringLiteral("success");
const QString kInvalidKeyMessage = QStringLiteral("invalid api key");
// Not the credit check's "Invalid API Key": this site has its own wording.
const QString kInvalidKeyAlert = QStringLiteral("Invalid Api key");

}  // namespace

KeyVerifier::KeyVerifier(AppContext& context, ServiceSession& session, QObject* parent)
    : QObject(parent), m_context(context), m_session(session) {}

void KeyVerifier::verifyAndSave(const QString& folderText, const QString& key,
                                std::function<QString()> currentKey) {
    // The folder is kept whatever the service says about the key.
    m_context.settings.setString(UserDefaultKeys::outputFolder, folderText);

    const QUrl url = m_context.service.endpointUrl(kEndpoint);
    const QList<FormPart> parts{FormPart::text(QByteArrayLiteral("api_key"), key)};
    m_session.postForm(url, parts, {},
                       [self = QPointer<KeyVerifier>(this),
                        currentKey = std::move(currentKey)](const JsonReply& reply) {
                           if (self) self->handleReply(reply, currentKey);
                       });
}

void KeyVerifier::handleReply(const JsonReply& reply, const std::function<QString()>& currentKey) {
    if (!reply.hasValue) {
        m_context.settings.credentialReset(m_context.credits);
        m_context.notifier.postUpdateCredit();
        emit replyHandled();
        return;
    }

    const QJsonValue value = reply.object.value(kMessageKey);
    const QString message = value.isString() ? value.toString() : QString();
    if (value.isString() && message == kSuccessMessage) {
        // The field's text now, which may differ from the text that was verified.
        m_context.settings.setString(UserDefaultKeys::apiKey,
                                     currentKey ? currentKey() : QString());
        m_context.notifier.postUpdateCredit();
        emit dismissRequested();
    } else if (value.isString() && message == kInvalidKeyMessage) {
        m_context.alerts.showAlert(kInvalidKeyAlert);
        m_context.settings.credentialReset(m_context.credits);
        m_context.notifier.postUpdateCredit();
    }
    emit replyHandled();
}
