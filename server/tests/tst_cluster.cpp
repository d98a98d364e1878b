// Two vorpane-server instances on one throwaway PostgreSQL database and one results folder,
// behind nginx over HTTPS with a certificate from a CA made here, as a team would run them
// (packaging/nginx/vorpane-server.conf). Everything listens on 127.0.0.1 or on Unix sockets in a
// temporary folder, and is stopped by the test.

#include <QtTest>

#include <httplib.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

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

// A photo-like PNG: a grey backdrop and a coloured disc, different for every n.
std::string photo(int n) {
    cv::Mat image(240, 320, CV_8UC3, cv::Scalar(200, 200, 200));
    cv::circle(image, {160, 120}, 50 + n % 20, cv::Scalar(40, 50 + 7 * n % 150, 210), cv::FILLED);
    std::vector<unsigned char> bytes;
    cv::imencode(".png", image, bytes);
    return std::string(bytes.begin(), bytes.end());
}

QJsonObject jsonOf(const httplib::Result& res) {
    return QJsonDocument::fromJson(res ? QByteArray::fromStdString(res->body) : "").object();
}

struct Instance {
    ~Instance() { stop(); }
    bool start(const QStringList& args) {
        process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        process.start(QStringLiteral(VORPANE_SERVER_BINARY), args);
        for (int i = 0; i < 100 && !process.canReadLine(); ++i) process.waitForReadyRead(100);
        port = QUrl(QString::fromUtf8(process.readLine()).trimmed()).port();
        return port > 0;
    }
    void stop() {
        if (process.state() == QProcess::NotRunning) return;
        process.kill();
        process.waitForFinished(5000);
    }
    // What the instance has logged so far.
    QString log() {
        while (process.waitForReadyRead(200)) {
        }
        errors += QString::fromUtf8(process.readAllStandardError());
        return errors;
    }
    QProcess process;
    QString errors;
    int port = 0;
};

}  // namespace

class ClusterTest final : public QObject {
    Q_OBJECT

    QString path(const QString& name) const { return dir_.filePath(name); }

    // A PostgreSQL program, as the postgres user when this runs as root (PostgreSQL will not).
    QString postgres(const QString& program, const QStringList& args) const {
        if (geteuid() != 0) return runToEnd(pgBin_ + "/" + program, args);
        return runToEnd("runuser",
                        QStringList{"-u", "postgres", "--", pgBin_ + "/" + program} + args);
    }
    bool startPostgres() {
        return !postgres("pg_ctl",
                         {"-D", pgDir_ + "/data", "-l", pgDir_ + "/log", "-w", "-o",
                          "-k " + pgDir_ + " -c listen_addresses='' -c fsync=off", "start"})
                    .isNull();
    }
    bool stopPostgres() {
        return !postgres("pg_ctl", {"-D", pgDir_ + "/data", "-m", "fast", "-w", "stop"}).isNull();
    }

    QString admin(const QStringList& args) const {
        return runToEnd(QStringLiteral(VORPANE_SERVER_BINARY), args + QStringList{"--db", uri_})
            .trimmed();
    }
    QString creditOf(const QString& key) const {
        return admin({"key", "list"}).split('\n').filter(key).value(0).simplified();
    }

    httplib::Client proxy() const {
        httplib::Client c("https://127.0.0.1:" + std::to_string(proxyPort_));
        c.set_ca_cert_path(path("ca.crt").toStdString());
        c.enable_server_certificate_verification(true);
        c.set_read_timeout(60);
        return c;
    }
    httplib::Result upload(const QString& key, const std::string& image) const {
        return proxy().Post(
            "/api/v1/remove_image_background", httplib::Headers{{"API-KEY", key.toStdString()}},
            httplib::MultipartFormDataItems{{"source_image_file", image, "photo.png", "image/png"},
                                            {"format", "png", "", ""}});
    }

    QTemporaryDir dir_;
    QString pgBin_, pgDir_, uri_;
    Instance a_, b_;
    QProcess nginx_;
    int proxyPort_ = 0;
    QString key_;

private slots:
    void initTestCase() {
        QStringList bins = QDir("/usr/lib/postgresql").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        std::sort(bins.begin(), bins.end(),
                  [](const QString& x, const QString& y) { return x.toInt() > y.toInt(); });
        if (!bins.isEmpty()) pgBin_ = "/usr/lib/postgresql/" + bins[0] + "/bin";
        if (pgBin_.isEmpty() || !QFile::exists(pgBin_ + "/initdb"))
            QSKIP("PostgreSQL is not installed (Debian package postgresql-15)");
        if (QStandardPaths::findExecutable("nginx", {"/usr/sbin", "/usr/bin"}).isEmpty())
            QSKIP("nginx is not installed (Debian package nginx-light)");
        if (geteuid() == 0 && !getpwnam("postgres"))
            QSKIP("running as root, and there is no postgres user to run PostgreSQL as");
        signal(SIGPIPE, SIG_IGN);

        // PostgreSQL on a Unix socket in the temporary folder, owned by the user it runs as.
        pgDir_ = path("pg");
        QVERIFY(QDir().mkpath(pgDir_));
        if (geteuid() == 0) {
            QFile(dir_.path())
                .setPermissions(QFile(dir_.path()).permissions() | QFile::ExeOther |
                                QFile::ExeGroup);
            const passwd* pg = getpwnam("postgres");
            QCOMPARE(::chown(pgDir_.toLocal8Bit().constData(), pg->pw_uid, pg->pw_gid), 0);
        }
        QVERIFY(!postgres("initdb", {"-D", pgDir_ + "/data", "-A", "trust", "-U", "vorpane",
                                     "--no-sync", "-E", "UTF8"})
                     .isNull());
        QVERIFY(startPostgres());
        uri_ = "postgresql://vorpane@/postgres?host=" + pgDir_;

        // A CA, and a certificate from it for 127.0.0.1.
        const QString ec = "ec", curve = "ec_paramgen_curve:prime256v1";
        QVERIFY(!runToEnd("openssl",
                          {"req", "-x509", "-newkey", ec, "-pkeyopt", curve, "-nodes", "-keyout",
                           path("ca.key"), "-out", path("ca.crt"), "-days", "2", "-subj",
                           "/CN=Vorpane test CA", "-addext", "basicConstraints=critical,CA:TRUE",
                           "-addext", "keyUsage=critical,keyCertSign,cRLSign"})
                     .isNull());
        QVERIFY(!runToEnd("openssl", {"req", "-newkey", ec, "-pkeyopt", curve, "-nodes", "-keyout",
                                      path("server.key"), "-out", path("server.csr"), "-subj",
                                      "/CN=127.0.0.1"})
                     .isNull());
        QFile extensions(path("server.ext"));
        QVERIFY(extensions.open(QIODevice::WriteOnly));
        extensions.write(
            "subjectAltName=IP:127.0.0.1,DNS:localhost\n"
            "extendedKeyUsage=serverAuth\n");
        extensions.close();
        QVERIFY(
            !runToEnd("openssl", {"x509", "-req", "-in", path("server.csr"), "-CA", path("ca.crt"),
                                  "-CAkey", path("ca.key"), "-CAcreateserial", "-out",
                                  path("server.crt"), "-days", "2", "-extfile", path("server.ext")})
                 .isNull());

        // Two instances on the one database and results folder, named by the proxy's address.
        proxyPort_ = freePort();
        const QString publicUrl = QString("https://127.0.0.1:%1/").arg(proxyPort_);
        for (Instance* i : {&a_, &b_}) {
            QVERIFY(i->start({"--port", "0", "--public-url", publicUrl, "--db", uri_,
                              "--results-dir", path("results"), "--jobs", "2", "--quiet",
                              "--no-model"}));
        }

        // The packaged site, with this test's certificate, port and instances.
        QFile site(QStringLiteral(VORPANE_NGINX_SITE));
        QVERIFY(site.open(QIODevice::ReadOnly));
        QString text = QString::fromUtf8(site.readAll());
        const std::pair<QString, QString> edits[] = {
            {"listen 443 ssl http2;", QString("listen 127.0.0.1:%1 ssl http2;").arg(proxyPort_)},
            {"listen [::]:443 ssl http2;", ""},
            {"/etc/ssl/certs/vorpane-server.crt", path("server.crt")},
            {"/etc/ssl/private/vorpane-server.key", path("server.key")},
            {"server 127.0.0.1:8081 ", QString("server 127.0.0.1:%1 ").arg(a_.port)},
            {"server 127.0.0.1:8082 ", QString("server 127.0.0.1:%1 ").arg(b_.port)},
        };
        for (const auto& [from, to] : edits) {
            QVERIFY2(text.contains(from), qPrintable("the site has no " + from));
            text.replace(from, to);
        }
        QFile siteCopy(path("site.conf"));
        QVERIFY(siteCopy.open(QIODevice::WriteOnly));
        siteCopy.write(text.toUtf8());
        siteCopy.close();
        QFile conf(path("nginx.conf"));
        QVERIFY(conf.open(QIODevice::WriteOnly));
        const QString temp = path("nginx-temp");
        QVERIFY(QDir().mkpath(temp));
        conf.write(
            QString("daemon off;\nmaster_process off;\npid %1/nginx.pid;\n"
                    "error_log %1/nginx-error.log warn;\nevents { worker_connections 1024; }\n"
                    "http {\n  access_log off;\n  client_body_temp_path %2/body;\n"
                    "  proxy_temp_path %2/proxy;\n  fastcgi_temp_path %2/fastcgi;\n"
                    "  uwsgi_temp_path %2/uwsgi;\n  scgi_temp_path %2/scgi;\n"
                    "  include %1/site.conf;\n}\n")
                .arg(dir_.path(), temp)
                .toUtf8());
        conf.close();
        nginx_.setProcessChannelMode(QProcess::ForwardedChannels);
        nginx_.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        nginx_.start("nginx",
                     {"-p", dir_.path(), "-e", path("nginx-error.log"), "-c", path("nginx.conf")});
        QVERIFY(nginx_.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(proxy().Post("/api/v1/get_app_version", "app_type=mac",
                                              "application/x-www-form-urlencoded"),
                                 10000);

        key_ = admin({"key", "create", "--free", "0"});
        QVERIFY(!key_.isEmpty());
    }

    void cleanupTestCase() {
        nginx_.kill();
        nginx_.waitForFinished(5000);
        a_.stop();
        b_.stop();
        if (!pgDir_.isEmpty()) stopPostgres();
    }

    void creditRaceThroughTheProxy_data() {
        QTest::addColumn<int>("round");
        for (int round = 1; round <= 3; ++round)
            QTest::newRow(qPrintable(QString::number(round))) << round;
    }

    // 60 uploads at once on a key with 10 credits: exactly 10 are done, each result is served
    // through the proxy and by either instance.
    void creditRaceThroughTheProxy() {
        QFETCH(int, round);
        QCOMPARE(admin({"key", "set", key_, "--free", "10", "--topup", "0", "--subscription", "0"})
                     .isEmpty(),
                 false);
        std::vector<std::pair<int, QString>> replies(60);  // status, result URL
        std::vector<std::thread> clients;
        for (std::size_t i = 0; i < replies.size(); ++i) {
            clients.emplace_back([&, i] {
                const auto r = upload(key_, photo(round * 100 + int(i)));
                replies[i] = {r ? r->status : -1, jsonOf(r).value("output_image_url").toString()};
            });
        }
        for (auto& t : clients) t.join();
        QStringList urls;
        QMap<int, int> statuses;
        for (const auto& [status, url] : replies) {
            ++statuses[status];
            if (status == 200) urls << url;
        }
        QCOMPARE(statuses, (QMap<int, int>{{200, 10}, {402, 50}}));
        QCOMPARE(creditOf(key_), key_ + " 0 0 0");
        for (const QString& url : urls) {
            QVERIFY2(url.startsWith(QString("https://127.0.0.1:%1/results/").arg(proxyPort_)),
                     qPrintable(url));
            const std::string resultPath = QUrl(url).path().toStdString();
            const auto viaProxy = proxy().Get(resultPath);
            QVERIFY(viaProxy && viaProxy->status == 200);
            for (const Instance* i : {&a_, &b_}) {
                const auto direct = httplib::Client("127.0.0.1", i->port).Get(resultPath);
                QVERIFY(direct && direct->status == 200 && direct->body == viaProxy->body);
            }
        }
    }

    // Without its database the service answers 503 with a Retry-After and charges nothing; it
    // says so once, and serves again when the database is back.
    void databaseOutage() {
        QCOMPARE(admin({"key", "set", key_, "--free", "5"}).isEmpty(), false);
        QVERIFY(stopPostgres());
        for (int i = 0; i < 4; ++i) {
            const auto r = upload(key_, photo(i));
            QVERIFY(r);
            QCOMPARE(r->status, 503);
            QCOMPARE(r->get_header_value("Retry-After"), std::string("5"));
        }
        QVERIFY(startPostgres());
        // Each instance tries again by itself (the client waits less than Retry-After here).
        QMap<int, int> statuses;
        for (QDeadlineTimer end(10000); statuses.value(200) < 2 && !end.hasExpired();) {
            const auto r = upload(key_, photo(7));
            ++statuses[r ? r->status : -1];
            if (!r || r->status != 200) QTest::qWait(200);
        }
        QCOMPARE(statuses.value(200), 2);
        QCOMPARE(statuses.size(), statuses.contains(503) ? 2 : 1);  // nothing but 200 and 503
        QCOMPARE(creditOf(key_), key_ + " 3 0 0");
        // Said once per outage: when it began and when it ended.
        int outages = 0;
        for (Instance* i : {&a_, &b_}) {
            const QString log = i->log();
            QVERIFY2(log.count("cannot be reached") == log.count("reachable again") &&
                         log.count("cannot be reached") <= 1,
                     qPrintable(log));
            outages += log.count("cannot be reached");
        }
        QVERIFY(outages >= 1);
    }

    // One instance killed while a batch runs: every photo is still saved once and paid once.
    void instanceKilledMidBatch() {
#ifndef VORPANE_CLI_PATH
        QSKIP("vorpane-cli is not part of this build");
#else
        QProcess help;
        help.start(QStringLiteral(VORPANE_CLI_PATH), {"--help"});
        QVERIFY(help.waitForFinished(10000));
        if (!help.readAllStandardOutput().contains("--ca-file"))
            QSKIP("this vorpane-cli has no --ca-file to trust the test CA with");
        const int photos = 16;
        QVERIFY(QDir().mkpath(path("photos")));
        for (int i = 0; i < photos; ++i) {
            QFile f(path(QString("photos/p%1.png").arg(i, 2, 10, QChar('0'))));
            QVERIFY(f.open(QIODevice::WriteOnly));
            const std::string bytes = photo(500 + i);
            f.write(bytes.data(), qint64(bytes.size()));
        }
        QCOMPARE(admin({"key", "set", key_, "--free", "100", "--topup", "0", "--subscription", "0"})
                     .isEmpty(),
                 false);
        QProcess cli;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VORPANE_API_KEY", key_);
        env.insert("HOME", path("home"));
        env.insert("XDG_CONFIG_HOME", path("home/.config"));
        env.insert("XDG_DATA_HOME", path("home/.local/share"));
        cli.setProcessEnvironment(env);
        cli.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        cli.start(
            QStringLiteral(VORPANE_CLI_PATH),
            {"--service-url", QString("https://127.0.0.1:%1/api/v1/").arg(proxyPort_), "--ca-file",
             path("ca.crt"), "--jobs", "4", "--quiet", "-o", path("out"), path("photos")});
        // Killed once the batch is under way.
        QTRY_VERIFY_WITH_TIMEOUT(cli.canReadLine() || cli.state() == QProcess::NotRunning, 30000);
        a_.stop();
        QVERIFY(cli.waitForFinished(120000));
        QCOMPARE(cli.exitCode(), 0);
        QCOMPARE(QDir(path("out")).entryList(QDir::Files).size(), photos);
        QCOMPARE(creditOf(key_), key_ + QString(" %1 0 0").arg(100 - photos));
#endif
    }
};

QTEST_GUILESS_MAIN(ClusterTest)
#include "tst_cluster.moc"
