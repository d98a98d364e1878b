// Admits one folder of many 1 MB files into the queue and prints the wall time and the peak
// resident memory. Usage: bench_intake [files=10000] [megabytes-per-file=1]
#include "AlertPresenter.h"
#include "AppContext.h"
#include "ConsoleLog.h"
#include "CreditRecord.h"
#include "ImageQueue.h"
#include "Notifier.h"
#include "SettingsStore.h"
#include "UrlOpener.h"
#include "WindowState.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>

namespace {

struct SilentAlerts final : AlertPresenter {
    int count = 0;
    void showAlert(const QString&) override { ++count; }
    void showSheetAlert(const SheetAlert&, std::function<void(int)>) override { ++count; }
};
struct NoOpener final : UrlOpener {
    bool openUrl(const QUrl&) override { return true; }
};

long peakRssKb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:")) return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int files = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int megabytes = argc > 2 ? std::atoi(argv[2]) : 1;
    ConsoleLog::setEnabled(false);

    QTemporaryDir dir;
    const QByteArray block(megabytes * 1024 * 1024, 'x');
    for (int i = 0; i < files; ++i) {
        QFile f(dir.filePath(QStringLiteral("photo%1.jpg").arg(i, 5, 10, QLatin1Char('0'))));
        if (!f.open(QIODevice::WriteOnly) || f.write(block) != block.size()) {
            std::fprintf(stderr, "could not write the test files in %s\n", qPrintable(dir.path()));
            return 1;
        }
    }
    const long rssBefore = peakRssKb();

    SettingsStore settings(dir.filePath(QStringLiteral("settings.json")));
    CreditRecord credits;
    Notifier notifier;
    SilentAlerts alerts;
    NoOpener opener;
    AppContext context{settings, credits, notifier, alerts, opener, Constant::defaults()};
    WindowState window;
    ImageQueue queue(context, window);
    int rows = 0;
    QObject::connect(&queue, &ImageQueue::rowInserted, [&rows](int) { ++rows; });

    QElapsedTimer timer;
    timer.start();
    queue.admitPaths({dir.path()}, false);
    const qint64 admitMs = timer.elapsed();
    QCoreApplication::processEvents();  // the posted row insertions
    const qint64 totalMs = timer.elapsed();

    std::printf("intake: %d files of %d MB admitted: %d records, %d rows, %d alerts\n", files,
                megabytes, queue.count(), rows, alerts.count);
    std::printf("wall time: %lld ms admission, %lld ms with row insertions (target < 1000 ms)\n",
                static_cast<long long>(admitMs), static_cast<long long>(totalMs));
    std::printf("peak resident memory: %.1f MB (%.1f MB before admission; target < 100 MB)\n",
                peakRssKb() / 1024.0, rssBefore / 1024.0);
    std::printf("command: %s %d %d\n", argv[0], files, megabytes);
    return 0;
}
