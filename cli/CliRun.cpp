#include "CliRun.h"

#include "AppContext.h"
#include "ConsoleAlerts.h"
#include "CreditRecord.h"
#include "Report.h"
#include "SettingsStore.h"
#include "UserDefaultKeys.h"
#include "UserDetailsModel.h"

#include <QDir>
#include <QFileInfo>
#include <QImageReader>

namespace {

bool isBusy(RunState state) {
    return state == RunState::Checking || state == RunState::Running || state == RunState::Stopping;
}

QSize imageSize(const QString& path) {
    if (path.isEmpty() || !QFileInfo(path).isFile()) return QSize();
    return QImageReader(path).size();
}

QStringList filesToSend(const Batch& batch) {
    QStringList files;
    for (const PlannedImage& image : batch.images)
        if (!image.skipped) files.append(image.source);
    return files;
}

}  // namespace

CliRun::CliRun(AppContext& context, ServiceSession& session, ConsoleAlerts& alerts, Report& report,
               QObject* parent)
    : QObject(parent),
      m_context(context),
      m_alerts(alerts),
      m_report(report),
      m_queue(context, m_window),
      m_credits(context, session),
      m_version(context, session),
      m_run(context, session, m_queue, m_window, m_credits, m_version, m_options) {
    connect(&m_run, &BatchRun::runStateChanged, this, &CliRun::onRunState);
    connect(&m_queue, &ImageQueue::rowChanged, this, &CliRun::onRowChanged);
    connect(&m_queue, &ImageQueue::resultKnown, this, &CliRun::onResultKnown);
    m_ticker.setInterval(1000);
    connect(&m_ticker, &QTimer::timeout, this, [this] { m_report.redraw(); });
}

qint64 CliRun::creditsLeft() const {
    const UserDetailsModel credits = m_context.credits.snapshot();
    return credits.hasBalances() ? credits.creditTotal() : -1;
}

void CliRun::keepPaidResults(const QString& path) {
    m_paid = std::make_unique<PaidResults>(path);
}

PaidResults::Key CliRun::paidKey(const DataModel& record) const {
    return {record.imageURl.value_or(QString()), record.byteCount, m_folder, m_options.imgFormat,
            m_options.isColored ? m_options.selectedColor : QString()};
}

void CliRun::onResultKnown(int row) {
    const DataModelPtr record = m_queue.at(row);
    if (!m_paid || !record) return;
    if (m_paid->remember(paidKey(*record), record->resultUrl)) {
        m_paidOnRecord.insert(record.get());
    } else if (!m_paidWriteFailed) {
        m_paidWriteFailed = true;
        m_report.note(QStringLiteral("paid results cannot be kept until they are saved (%1): "
                                     "if this command is killed, a later run pays for them again")
                          .arg(m_paid->error()));
    }
}

void CliRun::start(const InputPlan& plan) {
    m_batches = plan.batches;
    int toSend = 0;
    for (const Batch& batch : m_batches)
        for (const PlannedImage& image : batch.images) {
            if (!image.skipped) {
                ++toSend;
                continue;
            }
            m_report.image({image.source, image.expectedOutput, QStringLiteral("skipped"),
                            QStringLiteral("the result exists"), imageSize(image.expectedOutput)});
        }
    m_report.begin(toSend);
    m_ticker.start();
    nextBatch();
}

void CliRun::dryRun(const InputPlan& plan) {
    int toSend = 0;
    for (const Batch& batch : plan.batches)
        for (const PlannedImage& image : batch.images) {
            toSend += image.skipped ? 0 : 1;
            m_report.image({image.source, image.expectedOutput,
                            image.skipped ? QStringLiteral("skipped") : QStringLiteral("planned"),
                            image.skipped ? QStringLiteral("the result exists") : QString(),
                            QSize()});
        }
    auto end = [this, toSend](Exit code, const QString& why) {
        m_finished = true;
        m_report.dryRunSummary(toSend, code, creditsLeft(), why);
        emit finished(code);
    };
    if (m_context.settings.apiKey().isEmpty())
        return end(BadUsage, QStringLiteral(" (no API key)"));
    m_credits.fetchBalances([end, this](bool answered) {
        // Without an answer the credit check has said why: the key refused (and dropped), or
        // the service not reached.
        if (answered) return end(AllDone, QString());
        end(m_context.settings.apiKey().isEmpty() ? KeyRefused : Halted, QString());
    });
}

void CliRun::stop() {
    if (m_finished || m_stopping) return;
    m_stopping = true;
    if (m_run.runState() == RunState::Running) {
        m_report.note(
            QStringLiteral("stopping: the images on their way finish and are saved "
                           "(Ctrl+C again quits at once)"));
        m_run.startUpload();  // the button reads STOP while a run is under way
    } else if (m_active) {
        // Still checking: nothing has been sent, nothing waits for an answer that costs.
        m_active = false;
        finish(Stopped);
    }
    // Between batches, the next one is not started.
}

void CliRun::nextBatch() {
    if (m_finished) return;
    if (m_stopping) return finish(Stopped);
    while (m_next < m_batches.size() && filesToSend(m_batches.at(m_next)).isEmpty()) ++m_next;
    if (m_next >= m_batches.size()) {
        finish(m_report.failed() > 0 || m_report.notSent() > 0 ? SomeFailed : AllDone);
        return;
    }
    const Batch& batch = m_batches.at(m_next++);
    // The mirrored tree is made as it is needed; a folder that takes no file ends the command
    // before anything is paid for.
    if (!QDir().mkpath(batch.outputFolder)) {
        m_report.note(
            QStringLiteral("the output folder %1 could not be created").arg(batch.outputFolder));
        --m_next;
        return finish(BadUsage);
    }
    const OutputFolderCheck check = SettingsStore::checkOutputFolder(batch.outputFolder, 0, true);
    if (!check.ok) {
        m_report.note(check.message + QStringLiteral(": ") + check.detail);
        --m_next;
        return finish(BadUsage);
    }
    m_context.settings.setString(UserDefaultKeys::outputFolder, batch.outputFolder);
    m_queue.resetList();
    m_reported.clear();
    m_paidOnRecord.clear();
    m_folder = batch.outputFolder;
    const QStringList files = filesToSend(batch);
    m_queue.admitPaths(files, /*dropped*/ true);
    // Results an earlier run paid for and did not save are fetched, not paid for again.
    const QHash<QString, QString> paid = m_paid ? m_paid->load() : QHash<QString, QString>();
    int fetchOnly = 0;
    for (int i = 0; i < m_queue.count() && !paid.isEmpty(); ++i) {
        const DataModelPtr record = m_queue.at(i);
        const QString url = paid.value(paidKey(*record).text());
        if (url.isEmpty()) continue;
        record->resultUrl = url;
        m_paidOnRecord.insert(record.get());
        ++fetchOnly;
    }
    if (fetchOnly > 0)
        m_report.note(QStringLiteral("%1 paid for by an earlier run: fetched, not sent again")
                          .arg(fetchOnly == 1 ? QStringLiteral("1 result")
                                              : QStringLiteral("%1 results").arg(fetchOnly)));
    // What the queue refused is not silently left out: the command must not report success.
    QSet<QString> queued;
    for (int i = 0; i < m_queue.count(); ++i) queued.insert(*m_queue.at(i)->imageURl);
    for (const QString& file : files) {
        if (queued.contains(file)) continue;
        const QFileInfo info(file);
        m_report.image({file, QString(), QStringLiteral("failed"),
                        info.isFile() && info.isReadable()
                            ? QStringLiteral("an image of the same name goes to the same folder")
                            : QStringLiteral("not a readable file"),
                        QSize()});
    }
    // After the rows have been shown, as a window would: then START.
    QTimer::singleShot(0, this, [this] {
        if (m_finished) return;
        if (m_stopping) return finish(Stopped);
        m_active = true;
        m_sawRunning = false;
        m_run.startUpload();
        if (m_active && !isBusy(m_run.runState())) onRunState(m_run.runState());
    });
}

void CliRun::onRunState(RunState state) {
    if (!m_active) return;
    if (state == RunState::Running) m_sawRunning = true;
    if (isBusy(state)) return;
    m_active = false;
    // Out of the run's own call stack.
    QTimer::singleShot(0, this, &CliRun::batchEnded);
}

void CliRun::onRowChanged(int row) {
    const DataModelPtr record = m_queue.at(row);
    if (!record) return;
    // Saved, or gone from the service: the entry has served.
    const bool settled = record->status == RowStatus::Done ||
                         (record->status == RowStatus::Failed && record->resultUrl.isEmpty());
    if (settled && m_paidOnRecord.remove(record.get())) m_paid->forget(paidKey(*record));
    if (record->isHandled()) reportRecord(record);
}

void CliRun::reportRecord(const DataModelPtr& record) {
    if (m_reported.contains(record.get())) return;
    m_reported.insert(record.get());
    const QString source = record->imageURl.value_or(QString());
    switch (record->status) {
        case RowStatus::Done:
            m_report.image({source, record->outputFile, QStringLiteral("done"), QString(),
                            imageSize(record->outputFile)});
            break;
        case RowStatus::Failed:
            m_report.image(
                {source, QString(), QStringLiteral("failed"), record->statusText, QSize()});
            break;
        default:
            m_report.image(
                {source, QString(), QStringLiteral("not sent"), record->statusText, QSize()});
    }
}

void CliRun::reportUnsent() {
    for (int i = 0; i < m_queue.count(); ++i) reportRecord(m_queue.at(i));
    for (; m_next < m_batches.size(); ++m_next)
        for (const PlannedImage& image : m_batches.at(m_next).images)
            if (!image.skipped)
                m_report.image(
                    {image.source, QString(), QStringLiteral("not sent"), QString(), QSize()});
}

void CliRun::batchEnded() {
    if (m_finished) return;
    int unsent = 0;
    for (int i = 0; i < m_queue.count(); ++i) unsent += m_queue.at(i)->isHandled() ? 0 : 1;
    if (m_context.settings.apiKey().isEmpty()) return finish(KeyRefused);
    if (m_run.runState() == RunState::Halted) return finish(Halted);
    if (unsent > 0 && creditsLeft() == 0) return finish(OutOfCredit);
    if (m_stopping) return finish(Stopped);
    if (unsent > 0 && !m_sawRunning) return finish(m_alerts.requiredUpdate() ? BadUsage : Halted);
    if (unsent > 0) return finish(SomeFailed);  // the run stopped itself (the output folder)
    nextBatch();
}

void CliRun::finish(Exit code) {
    if (m_finished) return;
    m_finished = true;
    m_ticker.stop();
    reportUnsent();
    m_queue.resetList();  // a check still on its way finds nothing to send
    static const QHash<int, QString> kStatus{{AllDone, QStringLiteral("done")},
                                             {SomeFailed, QStringLiteral("incomplete")},
                                             {BadUsage, QStringLiteral("refused")},
                                             {Halted, QStringLiteral("halted")},
                                             {OutOfCredit, QStringLiteral("out of credit")},
                                             {KeyRefused, QStringLiteral("key refused")},
                                             {Stopped, QStringLiteral("stopped")}};
    m_report.summary(kStatus.value(code), code, creditsLeft());
    emit finished(code);
}
