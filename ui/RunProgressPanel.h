#pragma once

#include "BatchRun.h"
#include "RunProgress.h"

#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QWidget>

class ElidedLabel;
class ImageQueue;
class QLabel;
class QProgressBar;
class QTimer;

// The run's status line under the list: a bar of the done, failed and remaining rows, the time
// the run has taken and the time it will still take, and "N done · M failed". It reads the rows'
// states from the queue and follows the run's state; it changes neither.
class RunProgressPanel final : public QWidget {
    Q_OBJECT
public:
    RunProgressPanel(ImageQueue& queue, BatchRun& run, QWidget* parent = nullptr);

    RunProgress::Counts counts() const { return m_counts; }
    QProgressBar* bar() const { return m_bar; }
    QLabel* timeLabel() const { return m_time; }
    QLabel* summaryLabel() const { return m_summary; }
    // Why a run left images unsent, and how to go on.
    ElidedLabel* noteLabel() const { return m_note; }
    // Replaces the clock (milliseconds), for tests.
    void setClock(std::function<qint64()> clock) { m_clock = std::move(clock); }

signals:
    // The share of the queue that is handled, while a run goes on; `running` false at its end.
    void progressChanged(double fraction, bool running);
    // A run ended in `state` (finished, halted, stopped) with these counts.
    void runEnded(RunState state, const RunProgress::Counts& counts);

private:
    void onRowChanged(int row);
    void onRunState(RunState state);
    void onEnded(const RunEnd& end);
    // Counts every row again; a changed or added row is counted by itself.
    void recount();
    void onRowInserted(int row);
    void published();
    void render();

    ImageQueue& m_queue;
    RunProgress m_progress;
    RunProgress::Counts m_counts;
    QSet<const DataModel*> m_finished;  // rows finished in the current run
    QHash<const DataModel*, RowStatus> m_counted;  // each row's state as counted in m_counts
    bool m_running = false;
    QElapsedTimer m_elapsed;
    std::function<qint64()> m_clock;
    QProgressBar* m_bar;
    QLabel* m_time;
    QLabel* m_summary;
    ElidedLabel* m_note;
    BatchRun& m_run;
    QTimer* m_tick;
};
