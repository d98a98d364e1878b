#include "RunProgressPanel.h"

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
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 0, 2, 0);
    layout->setSpacing(12);
    layout->addWidget(m_bar, 1);
    layout->addWidget(m_time);
    layout->addWidget(m_summary);
    hide();

    m_tick->setInterval(1000);
    connect(m_tick, &QTimer::timeout, this, &RunProgressPanel::render);
    connect(&queue, &ImageQueue::rowChanged, this, &RunProgressPanel::onRowChanged);
    connect(&queue, &ImageQueue::rowInserted, this, &RunProgressPanel::recount);
    connect(&queue, &ImageQueue::rowRemoved, this, &RunProgressPanel::recount);
    connect(&queue, &ImageQueue::rowsReset, this, [this] {
        m_progress = RunProgress();
        m_finished.clear();
        recount();
    });
    connect(&run, &BatchRun::runStateChanged, this, &RunProgressPanel::onRunState);
}

void RunProgressPanel::onRowChanged(int row) {
    const DataModelPtr record = m_queue.at(row);
    if (m_running && record && !m_finished.contains(record.get()) &&
        (record->status == RowStatus::Done || record->status == RowStatus::Failed ||
         record->status == RowStatus::FailedHalted)) {
        m_finished.append(record.get());
        m_progress.imageFinished(m_clock());
    }
    recount();
}

void RunProgressPanel::onRunState(RunState state) {
    const bool running = state == RunState::Running || state == RunState::Stopping;
    if (running == m_running) return;
    m_running = running;
    if (running) {
        m_progress.start(m_clock());
        m_finished.clear();
        m_tick->start();
    } else {
        m_progress.stop(m_clock());
        m_tick->stop();
    }
    recount();
    if (!running) emit runEnded(state, m_counts);
}

void RunProgressPanel::recount() {
    m_counts =
        m_queue.arrTableData ? RunProgress::count(*m_queue.arrTableData) : RunProgress::Counts();
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
    if (m_running) {
        const auto left = RunProgress::timeLeftMs(m_progress.durationsMs(), m_counts.remaining);
        if (left) time += tr(" \u00b7 about %1 left").arg(RunProgress::formatDuration(*left));
    }
    m_time->setText(time);
    m_summary->setText(RunProgress::summary(m_counts));
    m_bar->setAccessibleDescription(m_summary->text());
}
