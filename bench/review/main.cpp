// Measures the longest stall of the main loop while the review window opens a large result (with
// its source photo), fits it, zooms to 100 % and back, until the picture is on screen.
//
// Usage: bench_review [megapixels=50]
// Runs offscreen unless QT_QPA_PLATFORM says otherwise.
#include "ImagePreview.h"
#include "ReviewCanvas.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>
#include <QTimer>
#include <cmath>
#include <cstdio>

namespace {

// A photo-like picture: a gradient, and in the result a transparent surround.
QImage makePicture(int width, int height, bool cutOut) {
    QImage image(width, height, cutOut ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient sky(0, 0, 0, height);
    sky.setColorAt(0, QColor(0x7e, 0xc8, 0xe3));
    sky.setColorAt(1, QColor(0xf6, 0xd9, 0xa8));
    if (cutOut) {
        p.setCompositionMode(QPainter::CompositionMode_Source);
        p.fillRect(image.rect(), Qt::transparent);
    } else {
        p.fillRect(image.rect(), sky);
    }
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(0xe8, 0x57, 0x3c));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(width / 2.0, height / 2.0), width / 4.0, height / 3.0);
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const double megapixels = argc > 1 ? std::atof(argv[1]) : 50.0;
    const int width = int(std::sqrt(megapixels * 1e6 * 3 / 2));
    const int height = int(megapixels * 1e6 / width);

    QTemporaryDir dir;
    const QString result = dir.filePath(QStringLiteral("result.png"));
    const QString source = dir.filePath(QStringLiteral("source.jpg"));
    std::printf("writing a %dx%d result (%.1f MP) and its source...\n", width, height,
                width * double(height) / 1e6);
    if (!makePicture(width, height, true).save(result, nullptr, 1) ||
        !makePicture(width, height, false).save(source, nullptr, 90))
        return 1;

    ImagePreview review;
    review.resize(1200, 800);
    review.show();
    QCoreApplication::processEvents();

    // Every tick of a 1 ms timer: how long since the previous one.
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 worst = 0;
    qint64 worstAt = 0;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (now - last > worst) {
            worst = now - last;
            worstAt = now;
        }
        last = now;
    });

    qint64 shownAt = 0;
    QObject::connect(&review, &ImagePreview::pictureLoaded, [&](bool ok) {
        if (!ok) QCoreApplication::exit(1);
        // On screen, then 100 % and fit again as a user would, each step a turn of its own.
        review.repaint();
        shownAt = clock.nsecsElapsed();
        QTimer::singleShot(20, &review, [&] {
            review.canvas()->setZoom(1.0);
            review.repaint();
            QTimer::singleShot(20, &review, [&] {
                review.canvas()->fit();
                review.repaint();
                QTimer::singleShot(50, qApp, &QCoreApplication::quit);
            });
        });
    });
    clock.start();
    probe.start(1);
    // The open itself is measured as a stall too.
    const qint64 before = clock.nsecsElapsed();
    review.open({{result, source}});
    worst = std::max(worst, clock.nsecsElapsed() - before);
    last = clock.nsecsElapsed();
    const int status = QApplication::exec();
    if (status != 0 || !shownAt) return 1;
    std::printf(
        "picture on screen after %.0f ms; longest main-loop stall %.1f ms, ending at "
        "%.0f ms (open, decoding, first paint, 100 %%, fit)\n",
        shownAt / 1e6, worst / 1e6, worstAt / 1e6);
    std::printf("reproduce: %s %.0f\n", argv[0], megapixels);
    return 0;
}
