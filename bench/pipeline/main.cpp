// Images per second of the batch pipeline (upload, result download, file write) against a shell
// loop of curl doing the same POST, GET and write against the same scripted server, and the
// client's peak memory while 12 MB images are sent.
//
//   bench_pipeline [--images N] [--bytes B] [--big N] [--big-bytes B]

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

// Answers like the service, at once: every image is accepted, its result is served.
ScriptedServer::Handler serviceHandler(ScriptedServer* server, QByteArray result) {
    return [server, result](const RecordedRequest& r) {
        if (r.path.endsWith("/get_app_version")) return ScriptedReply::json(200, "{}");
        if (r.path.endsWith("/remove_image_background")) {
            const RecordedPart* file = r.part("source_image_file");
            const QString stem =
                QFileInfo(QString::fromUtf8(file ? file->fileName : "x")).completeBaseName();
            const QByteArray url =
                server->url(QStringLiteral("/results/%1.png").arg(stem)).toEncoded();
            return ScriptedReply::json(200,
                                       R"({"output_image_url":")" + url +
                                           R"(","ff_credit":1000,"tp_credit":0,"sp_credit":0})");
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
RunResult runClient(const QString& base, const QString& inputs, const QString& outputs) {
    QTemporaryDir settingsDir;
    SettingsStore settings(settingsDir.filePath(QStringLiteral("settings.json")));
    CreditRecord credits;
    Notifier notifier;
    SilentAlerts alerts;
    NoOpener opener;
    AppContext context{settings, credits, notifier,
                       alerts,   opener,  *Constant::fromServiceUrl(base)};
    settings.setString(UserDefaultKeys::apiKey, QString::fromLatin1(kKey));
    settings.setString(UserDefaultKeys::outputFolder, outputs);
    credits.setBalances(1000000, 0, 0);

    ServiceSession session;
    WindowState window;
    ImageQueue queue(context, window);
    OutputOptions options;
    CreditService creditService(context, session);
    VersionCheck version(context, session);
    BatchRun run(context, session, queue, window, creditService, version, options);
    queue.admitFolder(inputs);
    QCoreApplication::processEvents();

    QEventLoop loop;
    QObject::connect(&run, &BatchRun::runStateChanged, &loop, [&loop](RunState state) {
        if (state == RunState::Finished || state == RunState::Halted || state == RunState::Ready)
            loop.quit();
    });
    QElapsedTimer timer;
    timer.start();
    run.startUpload();
    loop.exec();
    RunResult result;
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
    const RunResult bigRun = runClient(bigBase, bigIn, work.filePath(QStringLiteral("out-big")));
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

    const RunResult client = runClient(base, smallIn, work.filePath(QStringLiteral("out-client")));
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
    return client.done == images && curlFiles == images && bigRun.done == big ? 0 : 1;
}
