// Images per second of the batch pipeline (upload, result download, file write) against a shell
// loop of curl doing the same POST, GET and write against the same scripted server; the client's
// peak memory while 12 MB images are sent 8 at a time; the wall time of a batch against a service
// that takes 1 s per image with 1, 2, 3, 4 and 8 images in flight; and, with --server, the same
// against a real vorpane-server with 2-megapixel photos at 1 and 3 in flight.
//
//   bench_pipeline [--images N] [--bytes B] [--big N] [--big-bytes B] [--latency-images N]
//                  [--server PATH/vorpane-server] [--server-images N]

#include "AlertPresenter.h"
#include "AppContext.h"
#include "BatchRun.h"
#include "ConsoleLog.h"
#include "CreditRecord.h"
#include "CreditService.h"
#include "ImageQueue.h"
#include "Notifier.h"
#include "OutputOptions.h"
#include "ScriptedServer.h"
#include "ScriptedServerThread.h"
#include "ServiceSession.h"
#include "SettingsStore.h"
#include "UrlOpener.h"
#include "UserDefaultKeys.h"
#include "VersionCheck.h"
#include "WindowState.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <cstdio>

namespace {

const QByteArray kKey = "bench-key";

class SilentAlerts final : public AlertPresenter {
public:
    QStringList messages;
    void showAlert(const QString& message) override { messages.append(message); }
    void showSheetAlert(const SheetAlert& alert, std::function<void(int)> done) override {
        messages.append(alert.messageText);
        if (done) done(1);
    }
};

class NoOpener final : public UrlOpener {
public:
    bool openUrl(const QUrl&) override { return true; }
};

// What the service hands back: a 640x480 PNG with some texture, so it does not compress to
// nothing (about the size of a real cut-out).
QByteArray resultImage() {
    QImage image(640, 480, QImage::Format_ARGB32);
    QRandomGenerator random(7);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const int noise = int(random.bounded(24));
            line[x] = qRgba((x + noise) & 0xff, (y + noise) & 0xff, 128 + noise, x < 80 ? 0 : 255);
        }
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// Answers like the service, after `delayMs`: every image is accepted, its result is served.
ScriptedServer::Handler serviceHandler(ScriptedServer* server, QByteArray result, int delayMs = 0) {
    return [server, result, delayMs](const RecordedRequest& r) {
        if (r.path.endsWith("/get_app_version")) return ScriptedReply::json(200, "{}");
        if (r.path.endsWith("/remove_image_background")) {
            const RecordedPart* file = r.part("source_image_file");
            const QString stem =
                QFileInfo(QString::fromUtf8(file ? file->fileName : "x")).completeBaseName();
            const QByteArray url =
                server->url(QStringLiteral("/results/%1.png").arg(stem)).toEncoded();
            return ScriptedReply::json(200,
                                       R"({"output_image_url":")" + url +
                                           R"(","ff_credit":1000,"tp_credit":0,"sp_credit":0})")
                .withDelay(delayMs);
        }
        if (r.path.startsWith("/results/")) return ScriptedReply::bytes(200, "image/png", result);
        return ScriptedReply::json(404, R"({"error":"not here"})");
    };
}

bool writeInputs(const QString& folder, int count, qint64 bytes) {
    QByteArray data(bytes, Qt::Uninitialized);
    quint32 x = 0x9e3779b9u;
    for (qint64 i = 0; i < bytes; ++i) {
        x = x * 1664525u + 1013904223u;
        data[i] = char(x >> 24);
    }
    data.replace(0, 8, QByteArray("\x89PNG\r\n\x1a\n", 8));
    for (int i = 0; i < count; ++i) {
        QFile f(
            QDir(folder).filePath(QStringLiteral("photo%1.png").arg(i, 4, 10, QLatin1Char('0'))));
        if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size()) return false;
    }
    return true;
}

qint64 statusKb(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text)) return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').first().toLongLong();
    return -1;
}

// Resets the peak resident size of this process, where the kernel allows it.
bool resetPeak() {
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

struct RunResult {
    double seconds = 0;
    int done = 0;
    int queued = 0;
    QStringList alerts;
};

// One batch run of every image in `inputs` through the client, START to the end of the run.
RunResult runClient(const QString& base, const QString& inputs, const QString& outputs,
                    int imagesAtATime, const QByteArray& key = kKey) {
    QTemporaryDir settingsDir;
    SettingsStore settings(settingsDir.filePath(QStringLiteral("settings.json")));
    CreditRecord credits;
    Notifier notifier;
    SilentAlerts alerts;
    NoOpener opener;
    AppContext context{settings, credits, notifier,
                       alerts,   opener,  *Constant::fromServiceUrl(base)};
    settings.setString(UserDefaultKeys::apiKey, QString::fromLatin1(key));
    settings.setString(UserDefaultKeys::outputFolder, outputs);
    settings.setValue(UserDefaultKeys::imagesAtATime, imagesAtATime);
    credits.setBalances(1000000, 0, 0);

    ServiceSession session;
    WindowState window;
    ImageQueue queue(context, window);
    OutputOptions options;
    CreditService creditService(context, session);
    VersionCheck version(context, session);
    BatchRun run(context, session, queue, window, creditService, version);
    queue.admitFolder(inputs);
    QCoreApplication::processEvents();
    RunResult result;
    if (queue.count() == 0) return result;  // nothing to start: that part was asked for 0 images

    QEventLoop loop;
    QObject::connect(&run, &BatchRun::runStateChanged, &loop, [&loop](RunState state) {
        if (state == RunState::Finished || state == RunState::Halted || state == RunState::Ready)
            loop.quit();
    });
    QElapsedTimer timer;
    timer.start();
    run.start(RunConfig::fromSettings(settings, options));
    loop.exec();
    result.seconds = double(timer.nsecsElapsed()) / 1e9;
    result.queued = queue.count();
    for (int i = 0; i < queue.count(); ++i)
        if (queue.at(i)->status == RowStatus::Done) ++result.done;
    result.alerts = alerts.messages;
    return result;
}

// The same work as a shell loop of curl: POST the image, GET the result, write it.
double runCurl(const QString& base, const QString& inputs, const QString& outputs,
               QString* script) {
    *script = QStringLiteral(
        "for f in \"$IN\"/*.png; do "
        "url=$(curl -sS -H 'Expect:' -H \"API-KEY: $KEY\" -F \"source_image_file=@$f\" -F "
        "frequenteraug=mac "
        "-F credit_info=show -F format=png \"${BASE}remove_image_background\" "
        "| sed -n 's/.*\"output_image_url\":\"\\([^\"]*\\)\".*/\\1/p'); "
        "curl -sS -o \"$OUT/vorpane_output_${url##*/}\" \"$url\" || exit 1; "
        "done");
    QProcess shell;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("IN"), inputs);
    env.insert(QStringLiteral("OUT"), outputs);
    env.insert(QStringLiteral("BASE"), base);
    env.insert(QStringLiteral("KEY"), QString::fromLatin1(kKey));
    shell.setProcessEnvironment(env);
    shell.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer timer;
    timer.start();
    shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), *script});
    if (!shell.waitForFinished(-1) || shell.exitCode() != 0) return -1;
    return double(timer.nsecsElapsed()) / 1e9;
}

// 2-megapixel photo-like JPEGs: a gradient backdrop, a textured subject.
bool writePhotos(const QString& folder, int count) {
    QRandomGenerator random(11);
    for (int i = 0; i < count; ++i) {
        QImage image(1732, 1155, QImage::Format_RGB32);
        for (int y = 0; y < image.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x) {
                const int n = int(random.bounded(12));
                const bool subject =
                    (x - 866) * (x - 866) / 4 + (y - 600) * (y - 600) < 420 * 420 / 4 * 3;
                line[x] = subject ? qRgb(150 + n + (x / 40 % 2) * 40, 60 + n, 40 + n)
                                  : qRgb(230 - y / 40 + n, 232 - y / 40 + n, 228 - y / 50 + n);
            }
        }
        if (!image.save(QDir(folder).filePath(
                            QStringLiteral("photo%1.jpg").arg(i, 3, 10, QLatin1Char('0'))),
                        "JPEG", 90))
            return false;
    }
    return true;
}

// A real vorpane-server on a free port with a fresh database; its base URL, and a key with
// plenty of credit.
bool startServer(QProcess& process, const QString& path, const QString& db, QString* base,
                 QByteArray* key) {
    QProcess create;
    create.start(path, {QStringLiteral("key"), QStringLiteral("create"), QStringLiteral("--free"),
                        QStringLiteral("100000"), QStringLiteral("--db"), db});
    if (!create.waitForFinished(10000) || create.exitCode() != 0) return false;
    const QByteArrayList words = create.readAllStandardOutput().simplified().split(' ');
    for (const QByteArray& w : words)
        if (w.size() == 32) *key = w;
    process.start(path, {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--db"), db,
                         QStringLiteral("--quiet")});
    if (!process.waitForStarted(5000) || !process.waitForReadyRead(10000)) return false;
    *base = QString::fromUtf8(process.readLine()).trimmed();
    return !key->isEmpty() && base->startsWith(QLatin1String("http://"));
}

int filesIn(const QString& folder) {
    return int(QDir(folder).entryList(QDir::Files).size());
}

// The scripted server alone, in a process of its own, for the memory run.
int serve() {
    ScriptedServer server;
    server.setRecordBodies(false);
    if (!server.start()) return 1;
    server.setHandler(serviceHandler(&server, resultImage()));
    std::printf("%s\n", server.baseUrl().toEncoded().constData());
    std::fflush(stdout);
    return QCoreApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.contains(QStringLiteral("--serve"))) return serve();
    ConsoleLog::setEnabled(false);

    auto option = [&args](const char* name, qint64 fallback) {
        const qsizetype i = args.indexOf(QString::fromLatin1(name));
        return i >= 0 && i + 1 < args.size() ? args.at(i + 1).toLongLong() : fallback;
    };
    const int images = int(option("--images", 200));
    const qint64 bytes = option("--bytes", 1000000);
    const int big = int(option("--big", 10));
    const qint64 bigBytes = option("--big-bytes", 12000000);

    QTemporaryDir work;
    const QString smallIn = work.filePath(QStringLiteral("in"));
    const QString bigIn = work.filePath(QStringLiteral("in-big"));
    for (const char* sub : {"in", "in-big", "out-client", "out-curl", "out-big"})
        QDir(work.path()).mkdir(QString::fromLatin1(sub));
    if (!writeInputs(smallIn, images, bytes) || !writeInputs(bigIn, big, bigBytes)) {
        std::fprintf(stderr, "cannot write the input files\n");
        return 1;
    }
    const QByteArray result = resultImage();

    // Peak memory first, while the process is still small, with the server in another process so
    // that only the client is measured.
    QProcess server;
    server.setProgram(QCoreApplication::applicationFilePath());
    server.setArguments({QStringLiteral("--serve")});
    server.start();
    if (!server.waitForStarted(5000) || !server.waitForReadyRead(10000)) {
        std::fprintf(stderr, "the scripted server did not start\n");
        return 1;
    }
    const QString bigBase = QString::fromUtf8(server.readLine()).trimmed();
    const qint64 hwmBefore = statusKb("VmHWM");
    const bool peakReset = resetPeak();
    const qint64 rssAtStart = statusKb("VmRSS");
    const RunResult bigRun = runClient(bigBase, bigIn, work.filePath(QStringLiteral("out-big")), 8);
    const qint64 hwm = statusKb("VmHWM");
    server.kill();
    server.waitForFinished(5000);

    // Throughput: the scripted server in a thread of this process, answering at once.
    ScriptedServerThread thread;
    if (!thread.start()) {
        std::fprintf(stderr, "the scripted server did not start\n");
        return 1;
    }
    thread.server()->setRecordBodies(false);
    thread.server()->setHandler(serviceHandler(thread.server(), result));
    const QString base = thread.baseUrl().toString();

    const RunResult client =
        runClient(base, smallIn, work.filePath(QStringLiteral("out-client")), 1);
    QString script;
    const double curlSeconds =
        runCurl(base, smallIn, work.filePath(QStringLiteral("out-curl")), &script);
    const int curlFiles = filesIn(work.filePath(QStringLiteral("out-curl")));

    const double clientRate = client.done / client.seconds;
    const double curlRate = curlSeconds > 0 ? curlFiles / curlSeconds : 0;
    std::printf("command: %s\n", qPrintable(args.join(QLatin1Char(' '))));
    std::printf("inputs: %d images of %lld bytes; result served: %lld-byte PNG (640x480)\n", images,
                (long long)bytes, (long long)result.size());
    std::printf("client: %d of %d done, %d files written, %.3f s, %.1f images/s%s\n", client.done,
                client.queued, filesIn(work.filePath(QStringLiteral("out-client"))), client.seconds,
                clientRate,
                client.alerts.isEmpty()
                    ? ""
                    : qPrintable(QStringLiteral(" (alerts: ") +
                                 client.alerts.join(QStringLiteral(", ")) + ')'));
    std::printf("curl loop: %d files written, %.3f s, %.1f images/s\n", curlFiles, curlSeconds,
                curlRate);
    std::printf("  loop: IN=<inputs> OUT=<folder> BASE=%s KEY=%s sh -c '%s'\n", qPrintable(base),
                kKey.constData(), qPrintable(script));
    std::printf("ratio client/curl: %.2fx (target >= 1.5x)\n",
                curlRate > 0 ? clientRate / curlRate : 0.0);
    std::printf(
        "peak memory sending %d images of %lld bytes: VmHWM %.1f MB (%s; VmRSS at start %.1f MB, "
        "VmHWM before %.1f MB) (target < 150 MB); %d of %d done in %.2f s\n",
        big, (long long)bigBytes, hwm / 1024.0,
        peakReset ? "peak reset before the run" : "peak since process start", rssAtStart / 1024.0,
        hwmBefore / 1024.0, bigRun.done, bigRun.queued, bigRun.seconds);
    bool ok = client.done == images && curlFiles == images && bigRun.done == big;

    // Latency: each upload answered after 1 s, as a real service taking its time.
    const int latencyImages = int(option("--latency-images", 40));
    if (latencyImages > 0) {
        const QString latencyIn = work.filePath(QStringLiteral("in-latency"));
        QDir(work.path()).mkdir(QStringLiteral("in-latency"));
        ok = ok && writeInputs(latencyIn, latencyImages, 100000);
        thread.server()->setHandler(serviceHandler(thread.server(), result, 1000));
        std::printf("latency run: %d images of 100000 bytes, each upload answered after 1 s\n",
                    latencyImages);
        double single = 0;
        for (int n : {1, 2, 3, 4, 8}) {
            const QString out = work.filePath(QStringLiteral("out-latency-%1").arg(n));
            QDir(work.path()).mkdir(QFileInfo(out).fileName());
            const RunResult r = runClient(base, latencyIn, out, n);
            if (n == 1) single = r.seconds;
            std::printf("  %d at a time: %d of %d done in %.2f s, speed-up %.2fx (ideal %dx)\n", n,
                        r.done, r.queued, r.seconds, single / r.seconds, n);
            ok = ok && r.done == latencyImages;
        }
        std::printf("  targets: >= 2.8x at 3, >= 3.6x at 4\n");
    }

    const qsizetype serverAt = args.indexOf(QStringLiteral("--server"));
    if (serverAt >= 0 && serverAt + 1 < args.size()) {
        const int photos = int(option("--server-images", 12));
        const QString photoIn = work.filePath(QStringLiteral("in-photos"));
        QDir(work.path()).mkdir(QStringLiteral("in-photos"));
        QProcess service;
        QString serviceBase;
        QByteArray key;
        if (!writePhotos(photoIn, photos) ||
            !startServer(service, args.at(serverAt + 1), work.filePath(QStringLiteral("server.db")),
                         &serviceBase, &key)) {
            std::fprintf(stderr, "the local service did not start\n");
            return 1;
        }
        std::printf("vorpane-server run: %d photos of 1732x1155 (2 MP) JPEG\n", photos);
        double single = 0;
        for (int n : {1, 3}) {
            const QString out = work.filePath(QStringLiteral("out-photos-%1").arg(n));
            QDir(work.path()).mkdir(QFileInfo(out).fileName());
            const RunResult r = runClient(serviceBase, photoIn, out, n, key);
            if (n == 1) single = r.seconds;
            std::printf("  %d at a time: %d of %d done in %.2f s (%.2f images/s), speed-up %.2fx\n",
                        n, r.done, r.queued, r.seconds, r.done / r.seconds, single / r.seconds);
            ok = ok && r.done == photos;
        }
        std::printf("  target: >= 1.5x at 3 on 2 cores\n");
        service.terminate();
        service.waitForFinished(5000);
    }
    return ok ? 0 : 1;
}
