#include "VersionCheck.h"

#include "AlertPresenter.h"
#include "AppContext.h"
#include "ConsoleLog.h"
#include "ErrorMsg.h"
#include "NaturalOrder.h"
#include "ServiceSession.h"
#include "SettingsStore.h"
#include "UrlOpener.h"
#include "UserDefaultKeys.h"

#include <QPointer>
#include <QTimer>

namespace {

const QString kEndpoint = QStringLiteral("get_app_version");
const QString kVersionKey = QStringLiteral("app_version");
const QString kUpdateTypeKey = QStringLiteral("update_type");

QString stringValue(const QJsonObject& object, const QString& key) {
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : QString();
}

}  // namespace

VersionCheck::VersionCheck(AppContext& context, ServiceSession& session, QObject* parent)
    : QObject(parent), m_context(context), m_session(session) {}

void VersionCheck::check(std::function<void(UpdateType)> continuation) {
    check(std::move(continuation), [self = QPointer<VersionCheck>(this)](const JsonReply& reply) {
        if (self) self->showFailure(reply);
    });
}

void VersionCheck::showFailure(const JsonReply& reply) {
    ServiceFailure failure = reply.failure();
    // A certificate that cannot be trusted is the whole message.
    if (failure.untrusted) return m_context.alerts.showAlert(failure.haltText());
    if (failure.reason.isEmpty()) failure.reason = reply.description;
    m_context.alerts.showAlert(ErrorMsg::somethingWentWrongLower,
                               failure.haltText(m_context.service.baseUrl()));
}

void VersionCheck::check(std::function<void(UpdateType)> continuation,
                         std::function<void(const JsonReply&)> failed) {
    const QUrl url = m_context.service.endpointUrl(kEndpoint);
    const QList<FormPart> parts{
        FormPart::text(QByteArrayLiteral("app_type"), QStringLiteral("mac"))};
    m_session.postForm(url, parts, {},
                       [self = QPointer<VersionCheck>(this), continuation = std::move(continuation),
                        failed = std::move(failed)](const JsonReply& reply) {
                           if (!self) return;
                           if (!reply.hasValue) {
                               if (failed) failed(reply);
                               return;
                           }
                           if (continuation) continuation(self->readReply(reply));
                       });
}

std::optional<UpdateType> VersionCheck::handleReply(const JsonReply& reply) {
    if (!reply.hasValue) {
        showFailure(reply);
        return std::nullopt;
    }
    return readReply(reply);
}

UpdateType VersionCheck::readReply(const JsonReply& reply) {
    const QString stored = m_context.settings.appVersion();
    const QString announced = stringValue(reply.object, kVersionKey);
    if (compareNumeric(announced, stored) <= 0) return UpdateType::unknown;

    ConsoleLog::line(QStringLiteral("store version is newer"));
    m_context.settings.setString(UserDefaultKeys::appVersion, announced);
    ConsoleLog::line(m_context.settings.appVersion());

    const QJsonValue type = reply.object.value(kUpdateTypeKey);
    if (type.isString()) {
        if (type.toString() == QLatin1String("soft")) return UpdateType::soft;
        if (type.toString() == QLatin1String("hard")) return UpdateType::hard;
    }
    return UpdateType::unknown;
}

void VersionCheck::showUpdateAlert(UpdateType type) {
    if (type == UpdateType::unknown) return;
    SheetAlert alert;
    alert.messageText = QStringLiteral("Update available!");
    if (type == UpdateType::soft) {
        alert.informativeText = QStringLiteral(
            "There is a new version available for Vorpane, click on the 'Update' button for "
            "download it from our website.");
        alert.buttons = {QStringLiteral("Update"), QStringLiteral("Ignore")};
    } else {
        alert.informativeText = QStringLiteral(
            "This version of Vorpane is no longer available, click on the 'Update' button for "
            "download it from our website.");
        alert.buttons = {QStringLiteral("Update")};
        alert.escapeAnswers = false;
    }
    alert.critical = false;
    m_context.alerts.showSheetAlert(alert, [self = QPointer<VersionCheck>(this)](int button) {
        if (self && button == 0) self->updateApp();
    });
}

void VersionCheck::rechargeCredit() {
    ConsoleLog::line(QStringLiteral("Hello"));
    openAccountPageSoon();
}

void VersionCheck::updateApp() {
    ConsoleLog::line(QStringLiteral("Hello"));
    openAccountPageSoon();
}

void VersionCheck::openAccountPageSoon() {
    QTimer::singleShot(m_openDelayMs, this,
                       [this] { m_context.opener.openUrl(m_context.service.accountPage()); });
}
