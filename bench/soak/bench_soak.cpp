// A long batch on a bad day, end to end: vorpane-cli sends a folder of photos to a real
// vorpane-server that drops a share of the requests (`--drop`: the connection reset as a request
// arrives or as its answer leaves); the service goes dark once mid-run (killed) and comes back on
// the same port; the command is killed (SIGKILL) once and started again, the same command, as a
// user would. At the end every photo must be saved exactly once and exactly one credit spent per
// photo. Prints what happened and what it cost; exits 1 when either fails.
//
//   bench_soak [--images N] [--jobs J] [--drop PERCENT] [--dark SECONDS] [--kill yes|no]
//              [--size WxH] [--server PATH] [--cli PATH] [--log FILE]

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

namespace {

struct Settings {
    int images = 2000;
    int jobs = 4;
    int dropPercent = 3;
    int darkSeconds = 8;  // 0: the service stays up
    bool kill = true;
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

qint64 credits(const Settings& s, const QString& db, const QString& key) {
    // "key list" prints one line per key: the key, then its free, top-up and subscription credits.
    const QString listing = runTool(s.server, {"key", "list", "--db", db});
    for (const QString& line : listing.split('\n')) {
        const QStringList words = line.simplified().split(' ');
        if (words.value(0) != key) continue;
        qint64 total = 0;
        for (int i = 1; i < 4 && i < words.size(); ++i) total += words[i].toLongLong();
        return total;
    }
    return -1;
}

class Service {
public:
    Service(const Settings& s, QString db) : m_settings(s), m_db(std::move(db)) {}
    ~Service() { stop(); }
    // Starts it on `port` (0: a free one) and returns the port it took.
    quint16 start(quint16 port) {
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        QStringList args{"serve", "--port", QString::number(port),
                         "--db",  m_db,     "--jobs",
                         "2",     "--drop", QString::number(m_settings.dropPercent)};
        if (m_settings.log.isEmpty())
            args << "--quiet";
        else
            m_process.setStandardErrorFile(m_settings.log, QIODevice::Append);
        m_process.start(m_settings.server, args);
        if (!m_process.waitForReadyRead(20000)) return 0;
        const QString url = QString::fromUtf8(m_process.readLine()).trimmed();
        return quint16(QUrl(url).port());
    }
    void stop() {
        if (m_process.state() == QProcess::NotRunning) return;
        m_process.kill();
        m_process.waitForFinished(5000);
    }

private:
    const Settings& m_settings;
    QString m_db;
    QProcess m_process;
};

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
    const QString key =
        runTool(s.server, {"key", "create", "--free", QString::number(s.images + 500), "--topup",
                           "0", "--subscription", "0", "--db", db});
    const qint64 creditsBefore = credits(s, db, key);

    Service service(s, db);
    const quint16 servicePort = service.start(0);
    if (servicePort == 0 || creditsBefore < 0) {
        std::fprintf(stderr, "the service did not start\n");
        return 1;
    }
    const QString url = QStringLiteral("http://127.0.0.1:%1/api/v1/").arg(servicePort);

    // The same command each time, as a user would type it again.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VORPANE_API_KEY", key);
    env.insert("HOME", dir.filePath("home"));
    env.insert("XDG_DATA_HOME", dir.filePath("home/.local/share"));
    env.insert("XDG_CONFIG_HOME", dir.filePath("home/.config"));
    const QStringList command{"--service-url",
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
                service.stop();
                QTimer::singleShot(s.darkSeconds * 1000, [&] { service.start(servicePort); });
            }
            if (!killed && s.kill && done >= s.images * 3 / 5) {
                killed = true;
                killedAt = clock.elapsed() / 1000.0;
                cli.kill();
                cli.waitForFinished();
                killedSaved = saved();
                QFile record(
                    dir.filePath("home/.local/share/Vorpane/vorpane-cli/paid-results.json"));
                if (record.open(QIODevice::ReadOnly))
                    paidUnsaved = QJsonDocument::fromJson(record.readAll())
                                      .object()
                                      .value("entries")
                                      .toArray()
                                      .size();
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
    service.stop();
    const qint64 creditsAfter = credits(s, db, key);

    // Every photo once: one file per source, nothing else.
    QStringList expected;
    for (int i = 0; i < s.images; ++i)
        expected.append(QStringLiteral("vorpane_output_photo%1.png").arg(i, 5, 10, QChar('0')));
    const QStringList files = QDir(out).entryList(QDir::Files, QDir::Name);
    const bool everyOnce = files == expected;
    const qint64 spent = creditsBefore - creditsAfter;

    std::printf("%d photos of %dx%d, %d at a time, to a service dropping %d %% of the requests\n",
                s.images, s.size.width(), s.size.height(), s.jobs, s.dropPercent);
    std::printf(
        "service dark for %d s at %.1f s; command killed at %.1f s with %d saved and %d "
        "paid for but not saved; %d launches\n",
        s.darkSeconds, darkAt, killedAt, killedSaved, paidUnsaved, launches);
    std::printf("last exit %d after %.1f s; %lld files, every photo exactly once: %s\n", exitCode,
                seconds, static_cast<long long>(files.size()), everyOnce ? "yes" : "NO");
    std::printf("credits %lld -> %lld: %lld spent for %d photos%s\n",
                static_cast<long long>(creditsBefore), static_cast<long long>(creditsAfter),
                static_cast<long long>(spent), s.images,
                spent == s.images ? " (each paid once)" : "  <-- NOT each paid once");
    return everyOnce && spent == s.images && exitCode == 0 ? 0 : 1;
}
