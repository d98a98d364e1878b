// A long batch on a bad day, end to end: vorpane-cli sends a folder of photos to a real
// vorpane-server that drops a share of the requests (`--drop`: the connection reset as a request
// arrives or as its answer leaves); the service goes dark once mid-run (killed) and comes back on
// the same port; the command is killed (SIGKILL) once and started again, the same command, as a
// user would. At the end every photo must be saved exactly once under its own name (the service
// names its results at random) and exactly one credit spent per photo; then the same command once
// more must send nothing. Prints what happened and what it cost; exits 1 when any of it fails.
//
// With --https yes the service is a team's: two instances on one PostgreSQL ledger behind nginx
// over HTTPS with a certificate of a CA made here (the command trusts it with --ca-file), and the
// outage is the database's (answered 503 with a Retry-After) instead of the service's.
//
//   bench_soak [--images N] [--jobs J] [--drop PERCENT] [--dark SECONDS] [--kill yes|no]
//              [--https yes|no] [--size WxH] [--server PATH] [--cli PATH] [--log FILE]

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QPointer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <csignal>
#include <cstdio>
#include <memory>

#ifdef VORPANE_SOAK_RIG
#include "ClusterRig.h"
#endif

namespace {

struct Settings {
    int images = 2000;
    int jobs = 4;
    int dropPercent = 3;
    int darkSeconds = 8;  // 0: the service stays up
    bool kill = true;
    bool https = false;
    QString log;  // the service's request log goes here when set
    QSize size{240, 180};
    QString server = QStringLiteral(VORPANE_SERVER_PATH);
    QString cli = QStringLiteral(VORPANE_CLI_PATH);
};

// A photo-like picture: a gradient backdrop and a few textured shapes, different for each seed.
QImage photo(QSize size, int seed) {
    QRandomGenerator random(seed);
    QImage image(size, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient backdrop(0, 0, 0, size.height());
    backdrop.setColorAt(0, QColor::fromHsv(random.bounded(360), 40, 230));
    backdrop.setColorAt(1, QColor::fromHsv(random.bounded(360), 60, 180));
    p.fillRect(image.rect(), backdrop);
    p.setRenderHint(QPainter::Antialiasing);
    for (int i = 0; i < 3; ++i) {
        p.setBrush(QColor::fromHsv(random.bounded(360), 200, 40 + random.bounded(200)));
        p.setPen(Qt::NoPen);
        const int w = size.width() / 4 + random.bounded(size.width() / 3);
        const int h = size.height() / 4 + random.bounded(size.height() / 3);
        p.drawEllipse(random.bounded(size.width() - w), random.bounded(size.height() - h), w, h);
    }
    return image;
}

QString runTool(const QString& program, const QStringList& args) {
    QProcess process;
    process.start(program, args);
    process.waitForFinished(30000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// "key list" prints one line per key: the key, then its free, top-up and subscription credits.
qint64 credits(const QString& listing, const QString& key) {
    for (const QString& line : listing.split('\n')) {
        const QStringList words = line.simplified().split(' ');
        if (words.value(0) != key) continue;
        qint64 total = 0;
        for (int i = 1; i < 4 && i < words.size(); ++i) total += words[i].toLongLong();
        return total;
    }
    return -1;
}

class Backend {
public:
    virtual ~Backend() = default;
    // Starts it; returns the API's address, or empty when it did not start.
    virtual QString start() = 0;
    // The service (or its ledger) is unreachable for `seconds`, then back by itself.
    virtual void goDark(int seconds) = 0;
    virtual qint64 credits(const QString& key) = 0;
    virtual QString createKey(int credits) = 0;
    virtual QStringList clientArgs() const { return {}; }
    virtual void stop() = 0;
};

// One vorpane-server on plain http to this computer, with its SQLite ledger.
class Service final : public Backend {
public:
    Service(const Settings& s, QString db) : m_settings(s), m_db(std::move(db)) {}
    ~Service() override { stop(); }
    QString start() override {
        m_port = startOn(0);
        return m_port ? QStringLiteral("http://127.0.0.1:%1/api/v1/").arg(m_port) : QString();
    }
    void goDark(int seconds) override {
        stop();
        QTimer::singleShot(seconds * 1000, [this] { startOn(m_port); });
    }
    qint64 credits(const QString& key) override {
        return ::credits(runTool(m_settings.server, {"key", "list", "--db", m_db}), key);
    }
    QString createKey(int credits) override {
        return runTool(m_settings.server, {"key", "create", "--free", QString::number(credits),
                                           "--topup", "0", "--subscription", "0", "--db", m_db});
    }
    void stop() override {
        if (m_process.state() == QProcess::NotRunning) return;
        m_process.kill();
        m_process.waitForFinished(5000);
    }

private:
    // Starts it on `port` (0: a free one) and returns the port it took.
    quint16 startOn(quint16 port) {
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        QStringList args{"serve",
                         "--port",
                         QString::number(port),
                         "--db",
                         m_db,
                         "--jobs",
                         "2",
                         "--no-model",
                         "--drop",
                         QString::number(m_settings.dropPercent)};
        if (m_settings.log.isEmpty())
            args << "--quiet";
        else
            m_process.setStandardErrorFile(m_settings.log, QIODevice::Append);
        m_process.start(m_settings.server, args);
        if (!m_process.waitForReadyRead(20000)) return 0;
        const QString url = QString::fromUtf8(m_process.readLine()).trimmed();
        return quint16(QUrl(url).port());
    }

    const Settings& m_settings;
    QString m_db;
    QProcess m_process;
    quint16 m_port = 0;
};

#ifdef VORPANE_SOAK_RIG
// Two instances on one PostgreSQL ledger behind nginx over HTTPS, as a team runs the service.
class TeamService final : public Backend {
public:
    explicit TeamService(const Settings& s) : m_settings(s), m_rig(s.server) {}
    QString start() override {
        const QString why = ClusterRig::unavailable();
        QStringList args{"--jobs", "1", "--no-model", "--drop",
                         QString::number(m_settings.dropPercent)};
        if (m_settings.log.isEmpty()) args << "--quiet";
        const QString failed = why.isEmpty() ? m_rig.start(2, args) : why;
        if (!failed.isEmpty()) {
            std::fprintf(stderr, "the team service did not start: %s\n", qPrintable(failed));
            return {};
        }
        return QStringLiteral("https://127.0.0.1:%1/api/v1/").arg(m_rig.proxyPort());
    }
    void goDark(int seconds) override {
        m_rig.stopPostgres();
        QTimer::singleShot(seconds * 1000, [this] { m_rig.startPostgres(); });
    }
    qint64 credits(const QString& key) override {
        return ::credits(m_rig.admin({"key", "list"}), key);
    }
    QString createKey(int credits) override {
        return m_rig.admin({"key", "create", "--free", QString::number(credits), "--topup", "0",
                            "--subscription", "0"});
    }
    QStringList clientArgs() const override { return {"--ca-file", m_rig.caFile()}; }
    void stop() override {
        QFile log(m_settings.log);
        if (!m_settings.log.isEmpty() && log.open(QIODevice::Append))
            for (int i = 0; i < m_rig.instanceCount(); ++i)
                log.write(m_rig.instance(i).log().toUtf8());
        QFile proxy(m_rig.path(QStringLiteral("nginx-error.log")));
        if (log.isOpen() && proxy.open(QIODevice::ReadOnly)) log.write(proxy.readAll());
        m_rig.stop();
    }

private:
    const Settings& m_settings;
    ClusterRig m_rig;
};
#endif

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Settings s;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        const QString& a = args[i];
        const QString& v = args[i + 1];
        if (a == "--images")
            s.images = v.toInt();
        else if (a == "--jobs")
            s.jobs = v.toInt();
        else if (a == "--drop")
            s.dropPercent = v.toInt();
        else if (a == "--dark")
            s.darkSeconds = v.toInt();
        else if (a == "--size")
            s.size = QSize(v.section('x', 0, 0).toInt(), v.section('x', 1).toInt());
        else if (a == "--server")
            s.server = v;
        else if (a == "--kill")
            s.kill = v != "no";
        else if (a == "--https")
            s.https = v == "yes";
        else if (a == "--log")
            s.log = v;
        else if (a == "--cli")
            s.cli = v;
        else {
            std::fprintf(stderr, "unknown option %s\n", qPrintable(a));
            return 2;
        }
    }

    QTemporaryDir dir;
    const QString in = dir.filePath("in"), out = dir.filePath("out"), db = dir.filePath("s.db");
    QDir().mkpath(in);
    for (int i = 0; i < s.images; ++i)
        photo(s.size, i + 1)
            .save(QStringLiteral("%1/photo%2.jpg").arg(in).arg(i, 5, 10, QChar('0')), "JPG", 90);
    std::unique_ptr<Backend> service;
#ifdef VORPANE_SOAK_RIG
    if (s.https) service = std::make_unique<TeamService>(s);
#endif
    if (s.https && !service) {
        std::fprintf(stderr, "--https needs the cluster rig, which this build has not\n");
        return 2;
    }
    if (!service) service = std::make_unique<Service>(s, db);
    const QString url = service->start();
    const QString key = url.isEmpty() ? QString() : service->createKey(s.images + 500);
    const qint64 creditsBefore = key.isEmpty() ? -1 : service->credits(key);
    if (creditsBefore < 0) {
        std::fprintf(stderr, "the service did not start\n");
        return 1;
    }

    // The same command each time, as a user would type it again.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VORPANE_API_KEY", key);
    env.insert("HOME", dir.filePath("home"));
    env.insert("XDG_DATA_HOME", dir.filePath("home/.local/share"));
    env.insert("XDG_CONFIG_HOME", dir.filePath("home/.config"));
    const QStringList command = service->clientArgs() + QStringList{"--service-url",
                                                                    url,
                                                                    "--jobs",
                                                                    QString::number(s.jobs),
                                                                    "--skip-existing",
                                                                    "--quiet",
                                                                    "-o",
                                                                    out,
                                                                    in};
    const auto saved = [&] { return QDir(out).entryList(QDir::Files).size(); };

    QElapsedTimer clock;
    clock.start();
    int launches = 0;
    int exitCode = -1;
    bool wentDark = false, killed = false;
    double darkAt = 0, killedAt = 0;
    int killedSaved = 0, paidUnsaved = 0;
    while (launches < 5) {
        QProcess cli;
        cli.setProcessEnvironment(env);
        cli.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        cli.setStandardOutputFile(QProcess::nullDevice());
        cli.start(s.cli, command);
        ++launches;
        while (cli.state() != QProcess::NotRunning && !cli.waitForFinished(100)) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            const int done = saved();
            if (!wentDark && s.darkSeconds > 0 && done >= s.images / 4) {
                wentDark = true;
                darkAt = clock.elapsed() / 1000.0;
                service->goDark(s.darkSeconds);
            }
            if (!killed && s.kill && done >= s.images * 3 / 5) {
                killed = true;
                killedAt = clock.elapsed() / 1000.0;
                cli.kill();
                cli.waitForFinished();
                killedSaved = saved();
                // Paid for by the service, not yet in the folder: what the next launch must
                // fetch rather than pay for again.
                paidUnsaved = int(creditsBefore - service->credits(key)) - killedSaved;
            }
        }
        // A halted run is started again as pressing START would; a killed one as a user would.
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
        exitCode = cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -9;
        if (exitCode == 0) break;
        std::printf("launch %d ended with %s after %.1f s\n", launches,
                    exitCode == -9 ? "SIGKILL" : qPrintable(QString("exit %1").arg(exitCode)),
                    clock.elapsed() / 1000.0);
        if (exitCode != -9) QThread::sleep(1);
    }
    const double seconds = clock.elapsed() / 1000.0;
    const qint64 creditsAfter = service->credits(key);

    // Later, the same command on the same folder: everything is saved, nothing is sent.
    QProcess again;
    again.setProcessEnvironment(env);
    again.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    again.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer againClock;
    againClock.start();
    again.start(s.cli, command);
    again.waitForFinished(600000);
    const double againSeconds = againClock.elapsed() / 1000.0;
    const bool againQuiet = again.exitStatus() == QProcess::NormalExit && again.exitCode() == 0 &&
                            service->credits(key) == creditsAfter && saved() == s.images;
    service->stop();

    // Every photo once: one file per source, nothing else.
    QStringList expected;
    for (int i = 0; i < s.images; ++i)
        expected.append(QStringLiteral("vorpane_output_photo%1.png").arg(i, 5, 10, QChar('0')));
    const QStringList files = QDir(out).entryList(QDir::Files, QDir::Name);
    const bool everyOnce = files == expected;
    const qint64 spent = creditsBefore - creditsAfter;

    std::printf("%d photos of %dx%d, %d at a time, to %s dropping %d %% of the requests\n",
                s.images, s.size.width(), s.size.height(), s.jobs,
                s.https ? "two instances behind nginx over HTTPS" : "a service", s.dropPercent);
    std::printf(
        "%s dark for %d s at %.1f s; command killed at %.1f s with %d saved and %d "
        "paid for but not saved; %d launches\n",
        s.https ? "ledger" : "service", s.darkSeconds, darkAt, killedAt, killedSaved, paidUnsaved,
        launches);
    std::printf("last exit %d after %.1f s; %lld files, every photo exactly once: %s\n", exitCode,
                seconds, static_cast<long long>(files.size()), everyOnce ? "yes" : "NO");
    std::printf("credits %lld -> %lld: %lld spent for %d photos%s\n",
                static_cast<long long>(creditsBefore), static_cast<long long>(creditsAfter),
                static_cast<long long>(spent), s.images,
                spent == s.images ? " (each paid once)" : "  <-- NOT each paid once");
    std::printf("the same command again: %s in %.1f s\n",
                againQuiet ? "nothing sent, nothing paid" : "NOT quiet", againSeconds);
    return everyOnce && spent == s.images && exitCode == 0 && againQuiet ? 0 : 1;
}
