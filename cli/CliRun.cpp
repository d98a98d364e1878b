#include "CliRun.h"

#include "AppContext.h"
#include "BatchSession.h"
#include "ConsoleAlerts.h"
#include "CreditRecord.h"
#include "CreditService.h"
#include "ImageQueue.h"
#include "Report.h"
#include "SettingsStore.h"
#include "UserDetailsModel.h"

#include <QDir>
#include <QFileInfo>
#include <QImageReader>

namespace {

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

CliRun::CliRun(AppContext& context, BatchSession& batch, Report& report, const RunConfig& config,
               QObject* parent)
    : QObject(parent), m_context(context), m_batch(batch), m_report(report), m_config(config) {
    connect(&m_batch.run(), &BatchRun::ended, this, &CliRun::onEnded);
    connect(&m_batch.run(), &BatchRun::paidResultsAdopted, this, [this](int n) {
        m_report.note(
            QStringLiteral("%1 paid for by an earlier run: fetched, not sent again")
                .arg(n == 1 ? QStringLiteral("1 result") : QStringLiteral("%1 results").arg(n)));
    });
    connect(&m_batch.run(), &BatchRun::startDelayed, this, [this](const QString& why, qint64 ms) {
        m_report.note(QStringLiteral("%1 Trying again in %2 s.").arg(why).arg((ms + 999) / 1000));
    });
    connect(&m_batch.queue(), &ImageQueue::rowChanged, this, &CliRun::onRowChanged);
    m_ticker.setInterval(1000);
    connect(&m_ticker, &QTimer::timeout, this, [this] { m_report.redraw(); });
}

qint64 CliRun::creditsLeft() const {
    const UserDetailsModel credits = m_context.credits.snapshot();
    return credits.hasBalances() ? credits.creditTotal() : -1;
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
                            QStringLiteral("already saved"), imageSize(image.expectedOutput)});
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
                            image.skipped ? QStringLiteral("already saved") : QString(), QSize()});
        }
    auto end = [this, toSend](Exit code, const QString& why) {
        m_finished = true;
        m_report.dryRunSummary(toSend, code, creditsLeft(), why);
        emit finished(code);
    };
    if (m_config.apiKey.isEmpty()) return end(BadUsage, QStringLiteral(" (no API key)"));
    m_batch.credits().fetchBalances(m_config.apiKey, false, [end](const ServiceFailure& failure) {
        // Without an answer the credit check has said why: the key refused, or the service not
        // reached.
        if (failure.ok()) return end(AllDone, QString());
        end(failure.kind == ServiceFailure::Kind::KeyRefused ? KeyRefused : Halted, QString());
    });
}

void CliRun::stop() {
    if (m_finished || m_stopping) return;
    m_stopping = true;
    if (m_batch.run().runState() == RunState::Running) {
        m_report.note(
            QStringLiteral("stopping: the images on their way finish and are saved "
                           "(Ctrl+C again quits at once)"));
        m_batch.run().stop();
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
        m_report.note(ConsoleAlerts::line(check.message, check.detail));
        --m_next;
        return finish(BadUsage);
    }
    ImageQueue& queue = m_batch.queue();
    queue.resetList();
    m_reported.clear();
    m_config.outputFolder = batch.outputFolder;
    m_config.createOutputFolder = false;
    const QStringList files = filesToSend(batch);
    queue.admitPaths(files, /*dropped*/ true);
    // What the queue refused is not silently left out: the command must not report success.
    QSet<QString> queued;
    for (int i = 0; i < queue.count(); ++i) queued.insert(*queue.at(i)->imageURl);
    for (const QString& file : files) {
        if (queued.contains(file)) continue;
        const QFileInfo info(file);
        m_report.image({file, QString(), QStringLiteral("failed"),
                        info.isFile() && info.isReadable()
                            ? QStringLiteral("the same file is given twice")
                            : QStringLiteral("not a readable file"),
                        QSize()});
    }
    // After the rows have been shown, as a window would: then START.
    QTimer::singleShot(0, this, [this] {
        if (m_finished) return;
        if (m_stopping) return finish(Stopped);
        m_active = true;
        m_batch.run().start(m_config);
        // Nothing to send after all (every row was refused): the batch is over.
        if (m_active && !m_batch.run().isBusy()) onEnded(RunEnd{RunEnd::Kind::NotStarted, {}});
    });
}

void CliRun::onEnded(const RunEnd& end) {
    if (!m_active || m_finished) return;
    m_active = false;
    // Out of the run's own call stack.
    QTimer::singleShot(0, this, [this, end] {
        if (m_finished) return;
        switch (end.kind) {
            case RunEnd::Kind::Finished:
                return nextBatch();
            case RunEnd::Kind::Stopped:
                return finish(Stopped);
            case RunEnd::Kind::Halted:
                return finish(Halted);
            case RunEnd::Kind::OutOfCredit:
                return finish(OutOfCredit);
            case RunEnd::Kind::KeyRefused:
                return finish(KeyRefused);
            case RunEnd::Kind::UpdateRequired:
                return finish(BadUsage);
            case RunEnd::Kind::FolderUnusable:
                return finish(SomeFailed);
            case RunEnd::Kind::NotStarted:
                if (m_stopping) return finish(Stopped);
                return end.cause.isEmpty() ? nextBatch() : finish(BadUsage);
        }
    });
}

void CliRun::onRowChanged(int row) {
    const DataModelPtr record = m_batch.queue().at(row);
    if (record && record->isHandled()) reportRecord(record);
}

void CliRun::reportRecord(const DataModelPtr& record) {
    if (m_reported.contains(record.get())) return;
    m_reported.insert(record.get());
    const QString source = record->imageURl.value_or(QString());
    switch (record->status) {
        case RowStatus::Done:
            m_report.image(
                {source, record->outputFile,
                 record->alreadySaved ? QStringLiteral("skipped") : QStringLiteral("done"),
                 // Why the file has another name than its own, when it has.
                 record->alreadySaved ? QStringLiteral("already saved")
                                      : record->statusText.section(QChar(0xb7), 1).trimmed(),
                 imageSize(record->outputFile)});
            break;
        case RowStatus::Failed:
            if (record->statusText == BatchRun::kElsewhere) {
                m_report.image({source, QString(), QStringLiteral("skipped"),
                                record->statusText.toLower(), QSize()});
                break;
            }
            m_report.image(
                {source, QString(), QStringLiteral("failed"), record->statusText, QSize()});
            break;
        default:
            m_report.image(
                {source, QString(), QStringLiteral("not sent"), record->statusText, QSize()});
    }
}

void CliRun::reportUnsent() {
    for (int i = 0; i < m_batch.queue().count(); ++i) reportRecord(m_batch.queue().at(i));
    for (; m_next < m_batches.size(); ++m_next)
        for (const PlannedImage& image : m_batches.at(m_next).images)
            if (!image.skipped)
                m_report.image(
                    {image.source, QString(), QStringLiteral("not sent"), QString(), QSize()});
}

void CliRun::finish(Exit code) {
    if (m_finished) return;
    m_finished = true;
    m_ticker.stop();
    reportUnsent();
    m_batch.queue().resetList();  // a check still on its way finds nothing to send
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
