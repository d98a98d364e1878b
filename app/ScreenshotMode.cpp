#include "ScreenshotMode.h"

#include "ImagePreview.h"
#include "ViewController.h"

#include <QApplication>
#include <QPixmap>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <cstdio>

namespace {
int envInt(const char* name, int fallback) {
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok ? value : fallback;
}
}  // namespace

bool ScreenshotMode::installFromEnvironment(ViewController& window) {
    const QString path = qEnvironmentVariable("VORPANE_SCREENSHOT");
    if (path.isEmpty()) return false;
    auto* mode = new ScreenshotMode(window, path);
    mode->m_afterRows = envInt("VORPANE_SCREENSHOT_AFTER_ROWS", -1);
    mode->m_whenFinished = envInt("VORPANE_SCREENSHOT_FINISHED", 0) == 1;
    mode->m_reviewRow = envInt("VORPANE_SCREENSHOT_REVIEW", -1);
    mode->m_split = envInt("VORPANE_SCREENSHOT_SPLIT", 50);
    if (mode->m_whenFinished || mode->m_reviewRow >= 0) {
        connect(&window.run(), &BatchRun::runStateChanged, mode, [mode](RunState state) {
            if (state != RunState::Finished) return;
            // Let the last row and the summary paint first.
            QTimer::singleShot(400, mode, [mode] {
                if (mode->m_reviewRow >= 0)
                    mode->review();
                else
                    mode->take();
            });
        });
    }
    const int startMs = envInt("VORPANE_SCREENSHOT_START_MS", -1);
    if (startMs >= 0) {
        QTimer::singleShot(startMs, mode, [&window] {
            if (auto* start = window.findChild<QPushButton*>(QStringLiteral("btnStart")))
                start->click();
        });
    }
    if (mode->m_afterRows >= 0) {
        auto* timer = new QTimer(mode);
        connect(timer, &QTimer::timeout, mode, &ScreenshotMode::poll);
        timer->start(20);
    }
    QTimer::singleShot(envInt("VORPANE_SCREENSHOT_DELAY_MS", 2000), mode, &ScreenshotMode::take);
    return true;
}

ScreenshotMode::ScreenshotMode(ViewController& window, QString path)
    : QObject(&window), m_window(window), m_path(std::move(path)) {}

void ScreenshotMode::poll() {
    if (m_taken || m_window.queue().counter < m_afterRows) return;
    bool inProgress = false;
    if (m_window.queue().arrTableData)
        for (const auto& record : *m_window.queue().arrTableData)
            inProgress = inProgress || record->status == RowStatus::InProgress;
    if (!inProgress) return;
    // Let the spinner and the row marks paint first.
    m_taken = true;
    QTimer::singleShot(250, this, [this] {
        m_taken = false;
        take();
    });
}

void ScreenshotMode::review() {
    m_window.previewRecord(m_window.queue().at(m_reviewRow));
    ImagePreview* preview = m_window.preview();
    if (!preview) return take();
    if (auto* split = preview->findChild<QSlider*>(QStringLiteral("beforeAfter")))
        split->setValue(m_split);
    const auto grab = [this, preview] {
        QTimer::singleShot(300, this, [this, preview] {
            m_taken = true;
            const bool saved = preview->grab().save(m_path);
            std::fprintf(stderr, "screenshot %s: %s\n", saved ? "saved" : "NOT saved",
                         qPrintable(m_path));
            QApplication::exit(saved ? 0 : 1);
        });
    };
    if (preview->hasPicture())
        grab();
    else
        connect(preview, &ImagePreview::pictureLoaded, this, grab);
}

void ScreenshotMode::take() {
    if (m_taken) return;
    m_taken = true;
    const bool saved = m_window.grab().save(m_path);
    std::fprintf(stderr, "screenshot %s: %s\n", saved ? "saved" : "NOT saved", qPrintable(m_path));
    QApplication::exit(saved ? 0 : 1);
}
