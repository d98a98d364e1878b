#pragma once

#include "DataModel.h"

#include <QList>
#include <QString>
#include <memory>
#include <optional>

// How far a run has come: the rows' counts, the time it has taken and the time it will still
// take. The clock is given by the caller (milliseconds of any monotonic clock), so the estimate is
// a plain function of what happened.
class RunProgress final {
public:
    // Images in the moving average, and how many must be finished before an estimate is shown.
    static constexpr int kWindow = 8;
    static constexpr int kMinSamples = 3;

    struct Counts {
        int done = 0;
        int failed = 0;
        int remaining = 0;  // waiting or in progress; "not sent" once the run has ended
        int total() const { return done + failed + remaining; }
        bool operator==(const Counts& o) const {
            return done == o.done && failed == o.failed && remaining == o.remaining;
        }
    };

    // Counts a row in `status` once more (by +1) or once less (by -1).
    static void tally(Counts& counts, RowStatus status, int by);
    // The time `remaining` images will take: the mean of the last kWindow durations (oldest
    // first) times `remaining`. Nothing before kMinSamples durations; 0 when nothing remains.
    static std::optional<qint64> timeLeftMs(const QList<qint64>& durationsMs, int remaining);
    // "0:42", "12:05", "1:02:03".
    static QString formatDuration(qint64 ms);
    // "297 done · 3 failed" ("297 done" when nothing failed); at the end of a run that left
    // images, "10 done · 20 not sent".
    static QString summary(const Counts& counts, bool ended = false);

    // A run started at `nowMs`: the durations start again, and the clock too unless the run
    // goes on with the same list (START after a halt, Retry failed).
    void start(qint64 nowMs, bool continuing = false);
    // An image was finished (done or failed) at `nowMs`.
    void imageFinished(qint64 nowMs);
    // The run ended at `nowMs`; the elapsed time stops there.
    void stop(qint64 nowMs);
    bool isStarted() const { return m_startMs.has_value(); }
    bool isRunning() const { return m_startMs && !m_stopMs; }
    qint64 elapsedMs(qint64 nowMs) const;
    const QList<qint64>& durationsMs() const { return m_durations; }

private:
    std::optional<qint64> m_startMs;
    qint64 m_priorMs = 0;  // the time taken by the runs this one goes on from
    std::optional<qint64> m_stopMs;
    qint64 m_lastFinishMs = 0;
    QList<qint64> m_durations;
};
