#include "RunProgress.h"

#include <algorithm>

void RunProgress::tally(Counts& counts, RowStatus status, int by) {
    switch (status) {
        case RowStatus::Done:
            counts.done += by;
            break;
        case RowStatus::Failed:
            counts.failed += by;
            break;
        case RowStatus::FailedHalted:  // the run halted before it was sent
        case RowStatus::Waiting:
        case RowStatus::InProgress:
            counts.remaining += by;
            break;
    }
}

std::optional<qint64> RunProgress::timeLeftMs(const QList<qint64>& durationsMs, int remaining) {
    if (durationsMs.size() < kMinSamples) return std::nullopt;
    if (remaining <= 0) return 0;
    const qsizetype n = std::min<qsizetype>(kWindow, durationsMs.size());
    qint64 sum = 0;
    for (qsizetype i = durationsMs.size() - n; i < durationsMs.size(); ++i)
        sum += std::max<qint64>(0, durationsMs.at(i));
    return (sum * remaining + n / 2) / n;
}

QString RunProgress::formatDuration(qint64 ms) {
    const qint64 seconds = std::max<qint64>(0, (ms + 500) / 1000);
    const qint64 h = seconds / 3600;
    const qint64 m = seconds / 60 % 60;
    const qint64 s = seconds % 60;
    if (h > 0) return QString::asprintf("%lld:%02lld:%02lld", h, m, s);
    return QString::asprintf("%lld:%02lld", m, s);
}

QString RunProgress::summary(const Counts& counts, bool ended) {
    QString text = QStringLiteral("%1 done").arg(counts.done);
    if (counts.failed > 0) text += QStringLiteral(" \u00b7 %1 failed").arg(counts.failed);
    if (ended && counts.remaining > 0)
        text += QStringLiteral(" \u00b7 %1 not sent").arg(counts.remaining);
    return text;
}

void RunProgress::start(qint64 nowMs, bool continuing) {
    m_priorMs = continuing ? elapsedMs(nowMs) : 0;
    m_startMs = nowMs;
    m_stopMs.reset();
    m_lastFinishMs = nowMs;
    m_durations.clear();
}

void RunProgress::imageFinished(qint64 nowMs) {
    if (!isRunning()) return;
    m_durations.append(nowMs - m_lastFinishMs);
    m_lastFinishMs = nowMs;
}

void RunProgress::stop(qint64 nowMs) {
    if (isRunning()) m_stopMs = nowMs;
}

qint64 RunProgress::elapsedMs(qint64 nowMs) const {
    if (!m_startMs) return 0;
    return m_priorMs + std::max<qint64>(0, m_stopMs.value_or(nowMs) - *m_startMs);
}
