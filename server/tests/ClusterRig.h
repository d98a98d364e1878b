// Several vorpane-server instances on one throwaway PostgreSQL database and one results folder,
// behind nginx over HTTPS with a certificate from a CA made here, as a team would run them
// (packaging/nginx/vorpane-server.conf). Everything listens on 127.0.0.1 or on Unix sockets in a
// temporary folder, and is stopped with the rig. Used by the cluster test and bench/server.
#pragma once

#include <httplib.h>

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

class ClusterRig final {
public:
    // One instance of the service; killed with the rig, or before by stop().
    struct Instance {
        ~Instance() { stop(); }
        bool start(const QString& program, const QStringList& args);
        void stop();
        // What the instance has logged so far.
        QString log();

        QProcess process;
        QString errors;
        int port = 0;
    };

    explicit ClusterRig(QString server = QStringLiteral(VORPANE_SERVER_BINARY));
    ~ClusterRig();

    // Why the rig cannot run on this machine (a missing package, no postgres user), or empty.
    static QString unavailable();

    // Starts PostgreSQL (with fsync when durable), `count` instances with these arguments besides
    // their port, public URL, database and results folder, and nginx in front of them (when there
    // are any). What failed, or empty once the proxy answers.
    QString start(int count, const QStringList& instanceArgs, bool durable = false);
    void stop();
    bool startPostgres();
    bool stopPostgres();

    // A vorpane-server command on the rig's database; its output, empty when it failed.
    QString admin(const QStringList& args) const;
    // The balances of a key as "KEY FREE TOPUP SUBSCRIPTION".
    QString creditOf(const QString& key) const;

    QString path(const QString& name) const { return dir_.filePath(name); }
    QString uri() const { return uri_; }
    QString caFile() const { return path("ca.crt"); }
    int proxyPort() const { return proxyPort_; }
    Instance& instance(int i) { return *instances_.at(std::size_t(i)); }
    int instanceCount() const { return int(instances_.size()); }
    // A client of the proxy that trusts the rig's CA.
    httplib::Client proxy() const;

private:
    QString postgres(const QString& program, const QStringList& args) const;
    QString makeCertificates();
    QString startProxy();

    QString server_;
    QTemporaryDir dir_;
    QString pgBin_, pgDir_, uri_;
    bool durable_ = false;
    std::vector<std::unique_ptr<Instance>> instances_;
    QProcess postgres_;
    QProcess nginx_;
    int proxyPort_ = 0;
};
