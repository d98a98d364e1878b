#include "RunProgressPanel.h"

#include "ElidedLabel.h"
#include "ImageQueue.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QTimer>

namespace {

const QColor kDone(0x1e, 0x8e, 0x3e);
const QColor kFailed(0xd9, 0x30, 0x25);
const QColor kRemaining(0xdd, 0xe2, 0xea);

// A progress bar in three parts: done, failed, then what remains.
class SegmentedBar final : public QProgressBar {
public:
    using QProgressBar::QProgressBar;
    int failed = 0;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        QPainterPath clip;
        clip.addRoundedRect(box, 4, 4);
        p.setClipPath(clip);
        p.fillRect(box, kRemaining);
        const int total = maximum() - minimum();
        if (total > 0) {
            const qreal done = qreal(value() - failed) / total * box.width();
            const qreal bad = qreal(failed) / total * box.width();
            p.fillRect(QRectF(box.left(), box.top(), done, box.height()), kDone);
            p.fillRect(QRectF(box.left() + done, box.top(), bad, box.height()), kFailed);
        }
    }
};

}  // namespace

RunProgressPanel::RunProgressPanel(ImageQueue& queue, BatchRun& run, QWidget* parent)
    : QWidget(parent),
      m_queue(queue),
      m_bar(new SegmentedBar(this)),
      m_time(new QLabel(this)),
      m_summary(new QLabel(this)),
      m_note(new ElidedLabel(Qt::ElideRight, this)),
      m_run(run),
      m_tick(new QTimer(this)) {
    setObjectName(QStringLiteral("runProgress"));
    m_elapsed.start();
    m_clock = [this] { return m_elapsed.elapsed(); };
    m_bar->setObjectName(QStringLiteral("progressBar"));
    m_bar->setTextVisible(false);
    m_bar->setFixedHeight(8);
    m_bar->setAccessibleName(tr("Progress of the run"));
    m_time->setObjectName(QStringLiteral("lblRunTime"));
    m_time->setStyleSheet(QStringLiteral("color: #5f6b7a;"));
    m_summary->setObjectName(QStringLiteral("lblRunSummary"));
    m_summary->setStyleSheet(QStringLiteral("color: #1f2a3d; font-weight: 600;"));
    m_note->setObjectName(QStringLiteral("lblRunNote"));
    m_note->setStyleSheet(QStringLiteral("color: #5f6b7a;"));
    m_note->hide();
    auto* line = new QHBoxLayout;
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(12);
    line->addWidget(m_bar, 1);
    line->addWidget(m_time);
    line->addWidget(m_summary);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 0, 2, 0);
    layout->setSpacing(4);
    layout->addLayout(line);
    layout->addWidget(m_note);
    hide();

    m_tick->setInterval(1000);
    connect(m_tick, &QTimer::timeout, this, &RunProgressPanel::render);
    connect(&queue, &ImageQueue::rowChanged, this, &RunProgressPanel::onRowChanged);
    connect(&queue, &ImageQueue::rowInserted, this, &RunProgressPanel::onRowInserted);
    connect(&queue, &ImageQueue::rowRemoved, this, &RunProgressPanel::recount);
    connect(&queue, &ImageQueue::rowsReset, this, [this] {
        m_progress = RunProgress();
        m_finished.clear();
        recount();
    });
    connect(&run, &BatchRun::runStateChanged, this, &RunProgressPanel::onRunState);
    connect(&run, &BatchRun::ended, this, &RunProgressPanel::onEnded);
}

void RunProgressPanel::onEnded(const RunEnd& end) {
    const int left = m_counts.remaining;
    QString note;
    if (left > 0) switch (end.kind) {
            case RunEnd::Kind::OutOfCredit:
                note = tr("No credit left: top up, then press START to send the %1 not sent.")
                           .arg(left);
                break;
            case RunEnd::Kind::Halted:
                note = tr("The service could not be reached: press START to send the %1 not "
                          "sent.")
                           .arg(left);
                break;
            case RunEnd::Kind::Stopped:
                note = tr("Stopped: press START to send the %1 not sent.").arg(left);
                break;
            case RunEnd::Kind::KeyRefused:
                note = tr("The API key was refused: enter your key in Settings, then press START.");
                break;
            default:
                break;
        }
    m_note->setFullText(note);
    m_note->setVisible(!note.isEmpty());
}

void RunProgressPanel::onRowChanged(int row) {
    const DataModelPtr record = m_queue.at(row);
    if (m_running && record && !m_finished.contains(record.get()) &&
        (record->status == RowStatus::Done || record->status == RowStatus::Failed)) {
        m_finished.insert(record.get());
        m_progress.imageFinished(m_clock());
    }
    // Thousands of rows change in a run: each change is counted by itself, not by a recount.
    const auto counted = record ? m_counted.find(record.get()) : m_counted.end();
    if (counted == m_counted.end()) return recount();
    RunProgress::tally(m_counts, *counted, -1);
    RunProgress::tally(m_counts, record->status, 1);
    *counted = record->status;
    published();
}

void RunProgressPanel::onRowInserted(int row) {
    const DataModelPtr record = m_queue.at(row);
    if (!record || m_counted.contains(record.get())) return recount();
    RunProgress::tally(m_counts, record->status, 1);
    m_counted.insert(record.get(), record->status);
    published();
}

void RunProgressPanel::onRunState(RunState state) {
    const bool running = state == RunState::Running || state == RunState::Stopping;
    if (running == m_running) return;
    m_running = running;
    if (running) {
        // START after a halt, or Retry failed, goes on with the same list and its clock.
        const bool continuing = m_counts.done + m_counts.failed > 0;
        m_progress.start(m_clock(), continuing);
        m_finished.clear();
        m_note->setFullText(QString());
        m_note->hide();
        m_tick->start();
    } else {
        m_progress.stop(m_clock());
        m_tick->stop();
    }
    recount();
    if (!running) emit runEnded(state, m_counts);
}

void RunProgressPanel::recount() {
    m_counts = RunProgress::Counts();
    m_counted.clear();
    if (m_queue.arrTableData) {
        for (const DataModelPtr& record : *m_queue.arrTableData) {
            RunProgress::tally(m_counts, record->status, 1);
            m_counted.insert(record.get(), record->status);
        }
    }
    published();
}

void RunProgressPanel::published() {
    render();
    const int total = m_counts.total();
    if (m_progress.isStarted())
        emit progressChanged(total > 0 ? double(total - m_counts.remaining) / total : 0.0,
                             m_running);
}

void RunProgressPanel::render() {
    const int total = m_counts.total();
    setVisible(m_progress.isStarted() && total > 0);
    auto* bar = static_cast<SegmentedBar*>(m_bar);
    bar->failed = m_counts.failed;
    m_bar->setRange(0, qMax(total, 1));
    m_bar->setValue(total - m_counts.remaining);
    m_bar->update();

    const qint64 now = m_clock();
    QString time = tr("%1 elapsed").arg(RunProgress::formatDuration(m_progress.elapsedMs(now)));
    // No estimate while an image waits to be tried again: nobody knows when the service answers.
    if (m_running && !m_run.isWaitingToRetry()) {
        const auto left = RunProgress::timeLeftMs(m_progress.durationsMs(), m_counts.remaining);
        if (left) time += tr(" \u00b7 about %1 left").arg(RunProgress::formatDuration(*left));
    }
    m_time->setText(time);
    m_summary->setText(RunProgress::summary(m_counts, !m_running));
    m_bar->setAccessibleDescription(m_summary->text());
}
