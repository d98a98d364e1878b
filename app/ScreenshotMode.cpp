#include "ScreenshotMode.h"

#include "ViewController.h"

#include <QApplication>
#include <QPixmap>
#include <QPushButton>
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

void ScreenshotMode::take() {
    if (m_taken) return;
    m_taken = true;
    const bool saved = m_window.grab().save(m_path);
    std::fprintf(stderr, "screenshot %s: %s\n", saved ? "saved" : "NOT saved", qPrintable(m_path));
    QApplication::exit(saved ? 0 : 1);
}
