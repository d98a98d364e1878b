// Measures how late a 10 ms timer of the main loop fires while the window admits a folder of
// large photos, makes their thumbnails as the list is scrolled through, and runs them through a
// scripted service that answers in its own thread.
//
// Usage: bench_ui_latency [photos=1000] [width=4000] [height=3000]
// Runs offscreen unless QT_QPA_PLATFORM says otherwise.
#include "BatchSession.h"
#include "ConsoleLog.h"
#include "ImageListView.h"
#include "ScriptedServer.h"
#include "ScriptedServerThread.h"
#include "ServiceSession.h"
#include "TestContext.h"
#include "ThumbnailCache.h"
#include "UserDefaultKeys.h"
#include "ViewController.h"

#include <unistd.h>
#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>

namespace {

// The main loop's punctuality: a 10 ms timer and how late each tick came.
class LatencyProbe final : public QObject {
public:
    explicit LatencyProbe(QObject* parent = nullptr) : QObject(parent) {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(10);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            m_lateness.append((now - m_last) / 1e6 - 10.0);
            m_last = now;
        });
    }
    void start() {
        m_lateness.clear();
        m_clock.start();
        m_last = 0;
        m_timer.start();
    }
    QList<double> take() {
        QList<double> out;
        out.swap(m_lateness);
        return out;
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    QList<double> m_lateness;
};

struct Figures {
    double max = 0;
    double p99 = 0;
    double p50 = 0;
    int ticks = 0;
    int over50 = 0;
};

Figures summarise(QList<double> lateness) {
    Figures f;
    if (lateness.isEmpty()) return f;
    std::sort(lateness.begin(), lateness.end());
    f.ticks = static_cast<int>(lateness.size());
    f.max = lateness.last();
    f.p99 = lateness.at(static_cast<int>(lateness.size() * 0.99));
    f.p50 = lateness.at(lateness.size() / 2);
    f.over50 = static_cast<int>(
        std::count_if(lateness.begin(), lateness.end(), [](double v) { return v > 50; }));
    return f;
}

void print(const char* phase, qint64 ms, const Figures& f) {
    std::printf(
        "%-34s %7lld ms  ticks %6d  lateness p50 %5.1f ms  p99 %6.1f ms  max %6.1f ms  stalls>50ms "
        "%d\n",
        phase, static_cast<long long>(ms), f.ticks, f.p50, f.p99, f.max, f.over50);
}

// Runs the event loop until `done` holds or the time is up.
bool spinUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

QByteArray photoJpeg(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient sky(0, 0, 0, height);
    sky.setColorAt(0, QColor(120, 170, 230));
    sky.setColorAt(1, QColor(250, 230, 200));
    painter.fillRect(image.rect(), sky);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(40, 110, 70));
    painter.setPen(Qt::NoPen);
    painter.drawEllipse(QPoint(width / 2, height * 2 / 3), width / 3, height / 3);
    painter.end();
    // Grain, so the file is as large as a real photo's.
    QRandomGenerator random(7);
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int n = static_cast<int>(random.bounded(24)) - 12;
            const QRgb p = line[x];
            line[x] = qRgb(qBound(0, qRed(p) + n, 255), qBound(0, qGreen(p) + n, 255),
                           qBound(0, qBlue(p) + n, 255));
        }
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 88);
    return bytes;
}

QByteArray smallPng() {
    QImage image(64, 48, QImage::Format_ARGB32);
    image.fill(QColor(0, 128, 0, 200));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int photos = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int width = argc > 2 ? std::atoi(argv[2]) : 4000;
    const int height = argc > 3 ? std::atoi(argv[3]) : 3000;
    ConsoleLog::setEnabled(false);

    // One encoded photo, linked under 1,000 names (a copy where links are not possible).
    QTemporaryDir work;
    const QString folder = work.filePath(QStringLiteral("photos"));
    QDir().mkpath(folder);
    const QByteArray jpeg = photoJpeg(width, height);
    const QString first = folder + QStringLiteral("/photo0000.jpg");
    {
        QFile f(first);
        if (!f.open(QIODevice::WriteOnly) || f.write(jpeg) != jpeg.size()) {
            std::fprintf(stderr, "could not write %s\n", qPrintable(first));
            return 1;
        }
    }
    for (int i = 1; i < photos; ++i) {
        const QString name =
            folder + QStringLiteral("/photo%1.jpg").arg(i, 4, 10, QLatin1Char('0'));
        if (::link(QFile::encodeName(first).constData(), QFile::encodeName(name).constData()) !=
                0 &&
            !QFile::copy(first, name)) {
            std::fprintf(stderr, "could not write %s\n", qPrintable(name));
            return 1;
        }
    }

    // The service, in its own thread.
    ScriptedServerThread serverThread;
    if (!serverThread.start()) {
        std::fprintf(stderr, "the scripted server did not start\n");
        return 1;
    }
    ScriptedServer* server = serverThread.server();
    server->setRecordBodies(false);
    const QByteArray resultPng = smallPng();
    std::atomic<int> results{0};
    server->setHandler([server, &results, &resultPng](const RecordedRequest& request) {
        const QByteArray path = request.path;
        if (path.endsWith("/get_app_version"))
            return ScriptedReply::json(200, R"({"app_version":"1.0","update_type":"none"})");
        if (path.endsWith("/credit_check"))
            return ScriptedReply::json(
                200,
                R"({"other_remain_credit":100000,"pay_as_you _go_plan_remain_credit":0,"subscription_plan_remain_credit":0})");
        if (path.endsWith("/remove_image_background")) {
            const int n = ++results;
            const QByteArray url =
                server->url(QStringLiteral("/results/r%1.png").arg(n)).toEncoded();
            return ScriptedReply::json(200, "{\"output_image_url\":\"" + url + "\",\"ff_credit\":" +
                                                QByteArray::number(100000 - n) +
                                                ",\"tp_credit\":0,\"sp_credit\":0}");
        }
        if (path.startsWith("/results/")) return ScriptedReply::bytes(200, "image/png", resultPng);
        return ScriptedReply::json(404, R"({"error":"Not found"})");
    });

    TestContext t(*Constant::fromServiceUrl(serverThread.baseUrl().toString()));
    t.settings.setBool(UserDefaultKeys::isFirst, true);
    t.settings.setString(UserDefaultKeys::apiKey, QStringLiteral("bench-key"));
    const QString out = work.filePath(QStringLiteral("out"));
    QDir().mkpath(out);
    t.settings.setString(UserDefaultKeys::outputFolder, out);
    ServiceSession session;
    BatchSession batch(t.context, session);
    ViewController window(t.context, session, batch);
    window.show();
    auto* credit = window.findChild<QLabel*>(QStringLiteral("lblRemainCredit"));
    if (!spinUntil([credit] { return credit->text().contains(QStringLiteral("100000")); }, 10000)) {
        std::fprintf(stderr, "the launch credit check did not answer\n");
        return 1;
    }

    LatencyProbe probe;
    probe.start();
    QElapsedTimer phase;

    // 1. The folder is dropped.
    phase.start();
    window.queue().admitPaths({folder}, /*dropped*/ true);
    const qint64 admitCallMs = phase.elapsed();
    spinUntil([&window] { return window.list()->model()->rowCount() == window.queue().count(); },
              30000);
    const qint64 admitMs = phase.elapsed();
    const Figures admitFigures = summarise(probe.take());

    // 2. The list is scrolled through, a page every 40 ms, while thumbnails are made.
    phase.restart();
    ImageListView* list = window.list();
    QScrollBar* bar = list->verticalScrollBar();
    QTimer scroller;
    QObject::connect(&scroller, &QTimer::timeout,
                     [bar] { bar->setValue(bar->value() + bar->pageStep()); });
    scroller.start(40);
    spinUntil(
        [bar, &window] {
            return bar->value() >= bar->maximum() && window.thumbnails().pendingCount() == 0;
        },
        120000);
    scroller.stop();
    spinUntil([&window] { return window.thumbnails().pendingCount() == 0; }, 30000);
    const qint64 scrollMs = phase.elapsed();
    const Figures scrollFigures = summarise(probe.take());

    // 3. The run, with the list scrolled back to the top, where the rows change.
    bar->setValue(0);
    phase.restart();
    window.findChild<QPushButton*>(QStringLiteral("btnStart"))->click();
    auto* count = window.findChild<QLabel*>(QStringLiteral("lblUploadCount"));
    const QString finished = QStringLiteral("Finished %1 of %1").arg(photos);
    const bool ran =
        spinUntil([count, &finished] { return count->text() == finished; }, 30 * 60 * 1000);
    const qint64 runMs = phase.elapsed();
    const Figures runFigures = summarise(probe.take());

    std::printf(
        "ui_latency: %d photos of %dx%d (%.1f MB each, one file linked %d times), offscreen\n",
        photos, width, height, jpeg.size() / 1048576.0, photos);
    std::printf("admission call (queue rules, main thread): %lld ms\n",
                static_cast<long long>(admitCallMs));
    print("admit folder + insert rows", admitMs, admitFigures);
    print("scroll through list + thumbnails", scrollMs, scrollFigures);
    print(ran ? "run (upload, save, row updates)" : "run (DID NOT FINISH)", runMs, runFigures);
    const double worst = std::max({admitFigures.max, scrollFigures.max, runFigures.max});
    std::printf(
        "largest lateness of the 10 ms timer: %.1f ms (target: no stall over 50 ms) -> %s\n", worst,
        worst <= 50 ? "met" : "NOT met");
    std::printf("requests served: %d uploads\n", results.load());
    std::printf("command: QT_QPA_PLATFORM=offscreen %s %d %d %d\n", argv[0], photos, width, height);
    return ran ? 0 : 1;
}
