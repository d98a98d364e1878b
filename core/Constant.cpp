#include "Constant.h"

#include <QHostAddress>

#ifndef VORPANE_SERVICE_HOST
#define VORPANE_SERVICE_HOST "api.vorpane.app"
#endif

Constant::Constant(QUrl base, QUrl account)
    : m_base(std::move(base)), m_account(std::move(account)) {}

Constant Constant::defaults() {
    const QString host = QStringLiteral(VORPANE_SERVICE_HOST);
    return Constant(QUrl(QStringLiteral("https://") + host + QStringLiteral("/api/v1/")),
                    QUrl(QStringLiteral("https://") + host + QStringLiteral("/account")));
}

bool Constant::isLoopbackHost(const QString& host) {
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0) return true;
    QHostAddress address;
    if (!address.setAddress(host)) return false;
    return address.isLoopback();
}

std::optional<Constant> Constant::fromServiceUrl(const QString& text, QString* error) {
    auto refuse = [error](const QString& why) -> std::optional<Constant> {
        if (error) *error = why;
        return std::nullopt;
    };
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (text.trimmed().isEmpty() || !url.isValid() || url.host().isEmpty())
        return refuse(QStringLiteral("not a valid URL: %1").arg(text));
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("https") && scheme != QLatin1String("http"))
        return refuse(QStringLiteral("the service URL must use https: %1").arg(text));
    if (scheme == QLatin1String("http") && !isLoopbackHost(url.host()))
        return refuse(
            QStringLiteral(
                "plain http is only allowed for this computer (127.0.0.1, ::1, localhost); "
                "use https for %1")
                .arg(url.host()));
    if (!url.userInfo().isEmpty() || url.hasQuery() || url.hasFragment())
        return refuse(
            QStringLiteral("the service URL must not carry a user, a query or a fragment: %1")
                .arg(text));

    QUrl base = url;
    QString path = base.path();
    if (!path.endsWith(QLatin1Char('/'))) path += QLatin1Char('/');
    base.setPath(path);

    QUrl account;
    account.setScheme(scheme);
    account.setHost(url.host());
    account.setPort(url.port());
    account.setPath(QStringLiteral("/account"));
    return Constant(base, account);
}

QUrl Constant::endpointUrl(const QString& endpoint) const {
    return QUrl(baseUrlString() + endpoint, QUrl::TolerantMode);
}
