#pragma once

#include "TestData.h"

#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QTemporaryDir>
#include <QtDebug>

// A certificate authority made by openssl for a test, and from it server certificates for 127.0.0.1
// ("good"), for another name ("wrong") and for 127.0.0.1 expired yesterday ("expired").
class TestCertificates final {
public:
    bool make() {
        const QStringList key{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                              "-nodes"};
        if (!openssl(QStringList{"req", "-x509"} + key +
                     QStringList{"-keyout", path("ca.key"), "-out", ca(), "-days", "2", "-subj",
                                 "/CN=Vorpane test CA", "-addext",
                                 "basicConstraints=critical,CA:TRUE"}))
            return false;
        const struct {
            const char* name;
            const char* altName;
            const char* days;
        } leaves[] = {{"good", "IP:127.0.0.1", "2"},
                      {"wrong", "DNS:elsewhere.example", "2"},
                      {"expired", "IP:127.0.0.1", "-1"}};
        for (const auto& leaf : leaves) {
            const QString name = QLatin1String(leaf.name);
            if (!writeFile(path(name + ".ext"), QByteArray("subjectAltName=") + leaf.altName) ||
                !openssl(QStringList{"req"} + key +
                         QStringList{"-keyout", path(name + ".key"), "-out", path(name + ".csr"),
                                     "-subj", "/CN=" + name}) ||
                !openssl({"x509", "-req", "-in", path(name + ".csr"), "-CA", ca(), "-CAkey",
                          path("ca.key"), "-CAcreateserial", "-days", leaf.days, "-extfile",
                          path(name + ".ext"), "-out", path(name + ".crt")}))
                return false;
        }
        return true;
    }
    QString ca() const { return path("ca.crt"); }
    QString path(const QString& name) const { return dir.filePath(name); }
    // What the server presents.
    QSslConfiguration server(const QString& leaf) const {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        QFile key(path(leaf + ".key"));
        key.open(QIODevice::ReadOnly);
        tls.setPrivateKey(QSslKey(&key, QSsl::Ec));
        tls.setLocalCertificate(QSslCertificate::fromPath(path(leaf + ".crt")).value(0));
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        return tls;
    }

private:
    static bool openssl(const QStringList& args) {
        QProcess p;
        p.start(QStringLiteral("openssl"), args);
        const bool ok = p.waitForFinished(30000) && p.exitCode() == 0;
        if (!ok) qWarning() << "openssl" << args << p.readAllStandardError();
        return ok;
    }
    QTemporaryDir dir;
};
