#pragma once

#include <QString>
#include <QUrl>
#include <optional>

// Where the service lives: the base URL of its API ("…/api/v1/", ending in a slash) and the
// account page on the same host ("…/account"). Both come from one configured host.
class Constant final {
public:
    // The build's default service (https://<VORPANE_SERVICE_HOST>/api/v1/).
    static Constant defaults();
    // A base URL given on the command line. Plain http is accepted only for loopback hosts, so
    // the API key never crosses a network in clear. Nothing (and a reason) when refused.
    static std::optional<Constant> fromServiceUrl(const QString& text, QString* error = nullptr);
    // True for 127.0.0.0/8, ::1 and "localhost".
    static bool isLoopbackHost(const QString& host);

    QUrl baseUrl() const { return m_base; }
    // The base URL as text, to which endpoint names are appended as they are.
    QString baseUrlString() const { return m_base.toString(QUrl::FullyEncoded); }
    // The URL of an endpoint: the base URL with the name appended as plain text.
    QUrl endpointUrl(const QString& endpoint) const;
    QUrl accountPage() const { return m_account; }

private:
    Constant(QUrl base, QUrl account);
    QUrl m_base;
    QUrl m_account;
};
