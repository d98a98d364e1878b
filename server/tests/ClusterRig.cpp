#include "ClusterRig.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>
#include <QUrl>

#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace {

// Runs a program to its end; its standard output, or a null string when it failed.
QString runToEnd(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning().noquote() << program << args.join(' ') << "failed:" << p.readAllStandardError();
        return QString();
    }
    return QString::fromUtf8(p.readAllStandardOutput()) + "";
}

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    ::close(fd);
    return ntohs(a.sin_port);
}

QString postgresBin() {
    QStringList versions = QDir("/usr/lib/postgresql").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(versions.begin(), versions.end(),
              [](const QString& x, const QString& y) { return x.toInt() > y.toInt(); });
    return versions.isEmpty() ? QString() : "/usr/lib/postgresql/" + versions[0] + "/bin";
}

bool writeFile(const QString& name, const QString& text) {
    QFile f(name);
    return f.open(QIODevice::WriteOnly) && f.write(text.toUtf8()) == text.toUtf8().size();
}

}  // namespace

bool ClusterRig::Instance::start(const QString& program, const QStringList& args) {
    process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    process.start(program, args);
    for (int i = 0; i < 600 && !process.canReadLine(); ++i) process.waitForReadyRead(100);
    port = QUrl(QString::fromUtf8(process.readLine()).trimmed()).port();
    return port > 0;
}

void ClusterRig::Instance::stop() {
    if (process.state() == QProcess::NotRunning) return;
    process.kill();
    process.waitForFinished(5000);
}

QString ClusterRig::Instance::log() {
    while (process.waitForReadyRead(200)) {
    }
    errors += QString::fromUtf8(process.readAllStandardError());
    return errors;
}

ClusterRig::ClusterRig(QString server) : server_(std::move(server)) {}

ClusterRig::~ClusterRig() {
    stop();
}

QString ClusterRig::unavailable() {
    const QString bin = postgresBin();
    if (bin.isEmpty() || !QFile::exists(bin + "/initdb"))
        return "PostgreSQL is not installed (Debian package postgresql-15)";
    if (QStandardPaths::findExecutable("nginx", {"/usr/sbin", "/usr/bin"}).isEmpty())
        return "nginx is not installed (Debian package nginx-light)";
    if (geteuid() == 0 && !getpwnam("postgres"))
        return "running as root, and there is no postgres user to run PostgreSQL as";
    return QString();
}

// A PostgreSQL program, as the postgres user when this runs as root (PostgreSQL will not).
QString ClusterRig::postgres(const QString& program, const QStringList& args) const {
    if (geteuid() != 0) return runToEnd(pgBin_ + "/" + program, args);
    return runToEnd("runuser", QStringList{"-u", "postgres", "--", pgBin_ + "/" + program} + args);
}

// The server runs as a child of the test, as the postgres user when this runs as root, and dies
// with it: a test killed for taking too long leaves no server behind.
bool ClusterRig::startPostgres() {
    QStringList args{"-D", pgDir_ + "/data", "-k", pgDir_, "-c", "listen_addresses="};
    if (!durable_) args << "-c" << "fsync=off";
    const passwd* pg = geteuid() == 0 ? getpwnam("postgres") : nullptr;
    const uid_t uid = pg ? pg->pw_uid : geteuid();
    const gid_t gid = pg ? pg->pw_gid : getegid();
    postgres_.setChildProcessModifier([uid, gid, asPostgres = pg != nullptr] {
        if (asPostgres && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0))
            _exit(127);
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // after the change of user, which clears it
    });
    postgres_.setStandardOutputFile(pgDir_ + "/log", QIODevice::Append);
    postgres_.setStandardErrorFile(pgDir_ + "/log", QIODevice::Append);
    postgres_.start(pgBin_ + "/postgres", args);
    if (!postgres_.waitForStarted(5000)) return false;
    for (QDeadlineTimer end(60000); !end.hasExpired();) {
        QProcess ready;
        ready.start(pgBin_ + "/pg_isready", {"-q", "-h", pgDir_, "-U", "vorpane"});
        if (ready.waitForFinished(10000) && ready.exitCode() == 0) return true;
        if (postgres_.waitForFinished(100)) return false;  // it gave up: see its log
    }
    return false;
}

bool ClusterRig::stopPostgres() {
    if (postgres_.state() == QProcess::NotRunning) return true;
    ::kill(pid_t(postgres_.processId()), SIGINT);  // a fast shutdown: clients are let go
    return postgres_.waitForFinished(30000);
}

QString ClusterRig::makeCertificates() {
    const QString ec = "ec", curve = "ec_paramgen_curve:prime256v1";
    const QList<QStringList> steps = {
        {"req", "-x509", "-newkey", ec, "-pkeyopt", curve, "-nodes", "-keyout", path("ca.key"),
         "-out", caFile(), "-days", "2", "-subj", "/CN=Vorpane test CA", "-addext",
         "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"},
        {"req", "-newkey", ec, "-pkeyopt", curve, "-nodes", "-keyout", path("server.key"), "-out",
         path("server.csr"), "-subj", "/CN=127.0.0.1"},
        {"x509", "-req", "-in", path("server.csr"), "-CA", caFile(), "-CAkey", path("ca.key"),
         "-CAcreateserial", "-out", path("server.crt"), "-days", "2", "-extfile",
         path("server.ext")},
    };
    if (!writeFile(path("server.ext"),
                   "subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n"))
        return "cannot write the certificate's extensions";
    for (const QStringList& step : steps) {
        if (runToEnd("openssl", step).isNull()) return "openssl " + step.value(0) + " failed";
    }
    return QString();
}

// The packaged site, with the rig's certificate, port and instances.
QString ClusterRig::startProxy() {
    QFile site(QStringLiteral(VORPANE_NGINX_SITE));
    if (!site.open(QIODevice::ReadOnly)) return "cannot read " + site.fileName();
    QString text = QString::fromUtf8(site.readAll());
    const std::pair<QString, QString> edits[] = {
        {"listen 443 ssl http2;", QString("listen 127.0.0.1:%1 ssl http2;").arg(proxyPort_)},
        {"listen [::]:443 ssl http2;", ""},
        {"/etc/ssl/certs/vorpane-server.crt", path("server.crt")},
        {"/etc/ssl/private/vorpane-server.key", path("server.key")},
    };
    for (const auto& [from, to] : edits) {
        if (!text.contains(from)) return "the site has no " + from;
        text.replace(from, to);
    }
    // The upstream's example lines become one line per instance, with the same parameters.
    const QRegularExpression example(R"(( *)server 127\.0\.0\.1:808\d( [^\n]*)\n)");
    const QRegularExpressionMatch first = example.match(text);
    if (!first.hasMatch()) return "the site has no upstream server line";
    QString servers;
    for (const auto& i : instances_)
        servers += QString("%1server 127.0.0.1:%2%3\n")
                       .arg(first.captured(1))
                       .arg(i->port)
                       .arg(first.captured(2));
    text.remove(example);
    text.insert(first.capturedStart(), servers);
    const QString temp = path("nginx-temp");
    if (!writeFile(path("site.conf"), text) || !QDir().mkpath(temp) ||
        !writeFile(path("nginx.conf"),
                   QString("daemon off;\nmaster_process off;\npid %1/nginx.pid;\n"
                           "error_log %1/nginx-error.log warn;\n"
                           "events { worker_connections 1024; }\n"
                           "http {\n  access_log off;\n  client_body_temp_path %2/body;\n"
                           "  proxy_temp_path %2/proxy;\n  fastcgi_temp_path %2/fastcgi;\n"
                           "  uwsgi_temp_path %2/uwsgi;\n  scgi_temp_path %2/scgi;\n"
                           "  include %1/site.conf;\n}\n")
                       .arg(dir_.path(), temp)))
        return "cannot write the nginx configuration";
    nginx_.setProcessChannelMode(QProcess::ForwardedChannels);
    nginx_.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    nginx_.start("nginx",
                 {"-p", dir_.path(), "-e", path("nginx-error.log"), "-c", path("nginx.conf")});
    if (!nginx_.waitForStarted(5000)) return "nginx did not start";
    for (QDeadlineTimer end(10000); !end.hasExpired(); QThread::msleep(100)) {
        if (proxy().Post("/api/v1/get_app_version", "app_type=mac",
                         "application/x-www-form-urlencoded"))
            return QString();
    }
    return "nginx does not answer";
}

QString ClusterRig::start(int count, const QStringList& instanceArgs, bool durable) {
    if (!dir_.isValid()) return "cannot make a temporary folder";
    durable_ = durable;
    pgBin_ = postgresBin();
    // PostgreSQL on a Unix socket in the temporary folder, owned by the user it runs as.
    pgDir_ = path("pg");
    if (!QDir().mkpath(pgDir_)) return "cannot make " + pgDir_;
    if (geteuid() == 0) {
        QFile(dir_.path())
            .setPermissions(QFile(dir_.path()).permissions() | QFile::ExeOther | QFile::ExeGroup);
        const passwd* pg = getpwnam("postgres");
        if (!pg || ::chown(pgDir_.toLocal8Bit().constData(), pg->pw_uid, pg->pw_gid) != 0)
            return "cannot give " + pgDir_ + " to the postgres user";
    }
    if (postgres("initdb", {"-D", pgDir_ + "/data", "-A", "trust", "-U", "vorpane", "--no-sync",
                            "-E", "UTF8"})
            .isNull())
        return "initdb failed";
    if (!startPostgres()) return "PostgreSQL did not start: " + pgDir_ + "/log";
    uri_ = "postgresql://vorpane@/postgres?host=" + pgDir_;
    if (const QString error = makeCertificates(); !error.isEmpty()) return error;

    // The instances on the one database and results folder, named by the proxy's address.
    proxyPort_ = freePort();
    const QString publicUrl = QString("https://127.0.0.1:%1/").arg(proxyPort_);
    for (int i = 0; i < count; ++i) {
        instances_.push_back(std::make_unique<Instance>());
        if (!instances_.back()->start(
                server_, QStringList{"--port", "0", "--public-url", publicUrl, "--db", uri_,
                                     "--results-dir", path("results")} +
                             instanceArgs))
            return "instance " + QString::number(i + 1) +
                   " did not start: " + instances_.back()->log();
    }
    return instances_.empty() ? QString() : startProxy();
}

void ClusterRig::stop() {
    if (nginx_.state() != QProcess::NotRunning) {
        nginx_.kill();
        nginx_.waitForFinished(5000);
    }
    instances_.clear();
    stopPostgres();
}

QString ClusterRig::admin(const QStringList& args) const {
    return runToEnd(server_, args + QStringList{"--db", uri_}).trimmed();
}

QString ClusterRig::creditOf(const QString& key) const {
    return admin({"key", "list"}).split('\n').filter(key).value(0).simplified();
}

httplib::Client ClusterRig::proxy() const {
    httplib::Client c("https://127.0.0.1:" + std::to_string(proxyPort_));
    c.set_ca_cert_path(caFile().toStdString());
    c.enable_server_certificate_verification(true);
    c.set_read_timeout(60);
    return c;
}
