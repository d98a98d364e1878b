#include "BatchRun.h"

#include "AlertPresenter.h"
#include "AppContext.h"
#include "CreditRecord.h"
#include "CreditService.h"
#include "ImageQueue.h"
#include "ImageUpload.h"
#include "OutputOptions.h"
#include "ResultSaver.h"
#include "SettingsStore.h"
#include "UserDetailsModel.h"
#include "VersionCheck.h"
#include "WindowState.h"

#include <QDeadlineTimer>
#include <QPointer>
#include <QTimer>

#include <algorithm>

namespace {

const QString kStart = QStringLiteral("START");
const QString kStop = QStringLiteral("STOP");

// Held by the version check's continuation. The check drops its continuation without running it
// when it fails; the guard notices that and lets the run leave the checking state.
struct PendingCheck {
    QPointer<BatchRun> run;
    std::function<void()> dropped;
    bool answered = false;

    ~PendingCheck() {
        if (answered || !run) return;
        QMetaObject::invokeMethod(run.data(), std::move(dropped), Qt::QueuedConnection);
    }
};

}  // namespace

// One image in flight: its upload, then the download of its result, with the retries of each.
struct BatchRun::Job {
    DataModelPtr record;
    bool uploading = true;   // false once the service accepted it: only the download is left
    int retries = 0;         // retries used for the current step
    QTimer* wait = nullptr;  // set while waiting to try again
    bool due = false;        // the pause is over; it goes again as soon as a place is free
    QDeadlineTimer waitEnds;
    QString waitReason;
};

BatchRun::BatchRun(AppContext& context, ServiceSession& session, ImageQueue& queue,
                   WindowState& window, CreditService& credits, VersionCheck& version,
                   OutputOptions& options, QObject* parent)
    : QObject(parent),
      m_context(context),
      m_queue(queue),
      m_window(window),
      m_credits(credits),
      m_version(version),
      m_options(options),
      m_upload(new ImageUpload(context, session, this)),
      m_saver(new ResultSaver(context, session, this)) {
    m_state = idleState();
    connect(&m_queue, &ImageQueue::rowsReset, this, &BatchRun::onQueueReset);
    connect(&m_queue, &ImageQueue::rowInserted, this, &BatchRun::onRowInserted);
    connect(&m_queue, &ImageQueue::rowRemoved, this, &BatchRun::reportRetriable);
}

BatchRun::~BatchRun() = default;

bool BatchRun::isRunning() const {
    return m_state == RunState::Running || m_state == RunState::Stopping;
}

void BatchRun::setMaxDownloadBytes(qint64 bytes) {
    m_saver->setMaxBytes(bytes);
}

void BatchRun::setState(RunState state) {
    if (m_state == state) return;
    m_state = state;
    emit runStateChanged(state);
    reportRetriable();
}

RunState BatchRun::idleState() const {
    return m_queue.count() == 0 ? RunState::Empty : RunState::Ready;
}

int BatchRun::retriableFailedCount() const {
    int n = 0;
    for (int i = 0; i < m_queue.count(); ++i) {
        const DataModelPtr record = m_queue.at(i);
        if (record->status == RowStatus::Failed && !record->failedForGood) ++n;
    }
    return n;
}

void BatchRun::reportRetriable() {
    const int n = retriableFailedCount();
    if (n == m_lastRetriable) return;
    m_lastRetriable = n;
    emit retriableFailedChanged(n);
}

qint64 BatchRun::nextToSend() const {
    qint64 i = m_queue.counter;
    while (i < m_queue.count() && m_queue.at(i)->isHandled()) ++i;
    return i;
}

void BatchRun::startUpload() {
    emit colorPanelCloseRequested();
    const QString title = m_window.controls().btnStartTitle;
    if (title == kStart) {
        if (m_versionPending || !m_jobs.isEmpty()) return;
        if (nextToSend() >= m_queue.count()) {
            // Nothing waits; failed images can be offered again instead of doing nothing.
            const int failed = retriableFailedCount();
            if (failed == 0) return;
            SheetAlert alert;
            alert.messageText = failed == 1 ? QStringLiteral("Retry 1 failed image?")
                                            : QStringLiteral("Retry %1 failed images?").arg(failed);
            alert.informativeText = QStringLiteral("Images already done are not sent again.");
            alert.buttons = QStringList{QStringLiteral("Retry"), QStringLiteral("Cancel")};
            m_context.alerts.showSheetAlert(alert, [self = QPointer<BatchRun>(this)](int button) {
                if (button == 0 && self) self->retryFailed();
            });
            return;
        }
        m_versionPending = true;
        setState(RunState::Checking);

        auto pending = std::make_shared<PendingCheck>();
        pending->run = this;
        pending->dropped = [this] {
            if (!m_versionPending) return;
            m_versionPending = false;
            if (m_state == RunState::Checking) setState(idleState());
        };
        m_version.check([pending](UpdateType type) {
            pending->answered = true;
            BatchRun* run = pending->run;
            if (!run) return;
            run->m_versionPending = false;
            switch (type) {
                case UpdateType::soft:
                    run->m_version.showUpdateAlert(UpdateType::soft);
                    run->beginUpload();
                    break;
                case UpdateType::hard:
                    run->m_version.showUpdateAlert(UpdateType::hard);
                    if (run->m_state == RunState::Checking) run->setState(run->idleState());
                    break;
                case UpdateType::unknown:
                    run->beginUpload();
                    break;
            }
        });
    } else if (title == kStop && !m_queue.isStopTapped) {
        // Images on their way are not cancelled (their credits are spent); one waiting to be
        // tried again is put back at once.
        m_window.apply([](WindowState::Controls& c) { c.btnStartEnabled = false; });
        m_queue.isStopTapped = true;
        if (m_state == RunState::Running) setState(RunState::Stopping);
        cancelWaits();
        maybeEnd();
    }
}

void BatchRun::retryFailed(const DataModelPtr& only) {
    if (isRunning() || m_versionPending || !m_jobs.isEmpty()) return;
    qint64 first = -1;
    for (int i = 0; i < m_queue.count(); ++i) {
        const DataModelPtr record = m_queue.at(i);
        if (record->status != RowStatus::Failed || record->failedForGood) continue;
        if (only && record != only) continue;
        setRow(record, RowStatus::Waiting, QString());
        if (first < 0) first = i;
    }
    if (first < 0) return;
    m_queue.counter = std::min<qint64>(m_queue.counter, first);
    m_queue.updateUploadCount(m_queue.handledCount());
    // The button may show "START" disabled after a finished run.
    m_window.apply([](WindowState::Controls& c) {
        c.btnStartEnabled = true;
        c.btnStartTitle = kStart;
    });
    startUpload();
}

// The two-button alert of the checks before a run: the action button opens the settings sheet,
// or with `recharge` the account page; "Cancel" does nothing.
void BatchRun::showActionAlert(const QString& title, const QString& message, const QString& action,
                               bool recharge) {
    SheetAlert alert;
    alert.messageText = title;
    alert.informativeText = message;
    alert.buttons = QStringList{action, QStringLiteral("Cancel")};
    alert.critical = true;
    m_context.alerts.showSheetAlert(alert, [self = QPointer<BatchRun>(this), recharge](int button) {
        if (button != 0 || !self) return;
        if (recharge)
            self->m_version.rechargeCredit();
        else
            emit self->settingsSheetRequested();
    });
}

void BatchRun::showCreditAlert() {
    showActionAlert(QStringLiteral("Credit alert!"), QStringLiteral("oops! You're out of credit."),
                    QStringLiteral("Recharge"), true);
}

void BatchRun::beginUpload() {
    if (!m_jobs.isEmpty()) return;
    auto giveUp = [this] {
        if (m_state == RunState::Checking) setState(idleState());
    };
    if (nextToSend() >= m_queue.count()) {
        giveUp();
        return;
    }
    if (m_context.settings.apiKey().isEmpty()) {
        giveUp();
        showActionAlert(QStringLiteral("API key alert!"),
                        QStringLiteral("Please! Enter an api key to continue."),
                        QStringLiteral("Got it"), false);
        return;
    }
    const UserDetailsModel credits = m_context.credits.snapshot();
    if (!credits.hasBalances() || credits.creditTotal() == 0) {
        // Balances never answered (or answered empty, perhaps before a top-up) are asked for
        // now, not assumed to be zero.
        m_versionPending = true;
        setState(RunState::Checking);
        m_credits.fetchBalances([self = QPointer<BatchRun>(this)](bool answered) {
            if (!self) return;
            self->m_versionPending = false;
            if (!answered) {
                // The credit check has told the user why (unreachable, or the key refused).
                if (self->m_state == RunState::Checking) self->setState(self->idleState());
                return;
            }
            self->continueChecks(true);
        });
        return;
    }
    continueChecks(false);
}

void BatchRun::continueChecks(bool fetchedCredits) {
    Q_UNUSED(fetchedCredits)
    auto giveUp = [this] {
        if (m_state == RunState::Checking) setState(idleState());
    };
    if (m_context.credits.snapshot().creditTotal() == 0) {
        giveUp();
        showCreditAlert();
        return;
    }
    if (m_options.isColored && m_options.selectedColor.isEmpty()) {
        giveUp();
        m_context.alerts.showAlert(kColourAlert);
        return;
    }
    m_folderProbed = false;
    const DataModelPtr first = m_queue.at(nextToSend());
    if (first && first->resultUrl.isEmpty() && !outputFolderReady(first->byteCount)) {
        giveUp();
        return;
    }
    m_queue.isStopTapped = false;
    m_haltReason.clear();
    m_outOfCredit = false;
    m_limit = m_context.settings.imagesAtATime();
    m_saver->beginRun();
    m_window.apply([](WindowState::Controls& c) {
        c.btnStartTitle = kStop;
        c.btnStartEnabled = true;
        c.lockList();
    });
    setState(RunState::Running);
    fill();
}

bool BatchRun::outputFolderReady(qint64 sourceBytes) {
    QString message;
    QString detail;
    const QString folder = m_context.settings.prepareOutputFolder(&message);
    if (!folder.isEmpty()) {
        const OutputFolderCheck check =
            SettingsStore::checkOutputFolder(folder, 2 * sourceBytes, !m_folderProbed);
        if (check.ok) {
            m_folderProbed = true;
            return true;
        }
        message = check.message;
        detail = check.detail;
    }
    m_context.alerts.showAlert(message, detail);
    return false;
}

qint64 BatchRun::creditsForNewUploads() const {
    const UserDetailsModel credits = m_context.credits.snapshot();
    if (!credits.hasBalances()) return -1;
    qint64 uploading = 0;
    for (const JobPtr& job : m_jobs)
        if (job->uploading) ++uploading;
    return credits.creditTotal() - uploading;
}

void BatchRun::uploadNextImage() {
    m_queue.updateUploadCount(m_queue.handledCount());
    fill();
}

int BatchRun::activeCount() const {
    int n = 0;
    for (const JobPtr& job : m_jobs) n += job->wait || job->due ? 0 : 1;
    return n;
}

void BatchRun::fill() {
    if (!isRunning()) return;
    for (const JobPtr& job : QList<JobPtr>(m_jobs)) {
        if (!job->due || activeCount() >= m_limit) continue;
        job->due = false;
        if (job->uploading)
            startUpload(job);
        else
            startDownload(job);
    }
    while (!m_queue.isStopTapped && m_haltReason.isEmpty() && !m_outOfCredit &&
           m_jobs.size() < m_limit) {
        const qint64 next = nextToSend();
        m_queue.counter = next;
        const DataModelPtr record = m_queue.at(next);
        if (!record) break;
        const bool downloadOnly = !record->resultUrl.isEmpty();
        if (!downloadOnly) {
            // Never more uploads open than credits known to be left.
            const qint64 credits = creditsForNewUploads();
            if (credits >= 0 && credits <= 0) {
                if (m_jobs.isEmpty()) m_outOfCredit = true;
                break;
            }
            if (!outputFolderReady(record->byteCount)) {
                m_queue.isStopTapped = true;
                break;
            }
        }
        ++m_queue.counter;
        auto job = std::make_shared<Job>();
        job->record = record;
        job->uploading = !downloadOnly;
        m_jobs.append(job);
        if (downloadOnly)
            startDownload(job);
        else
            startUpload(job);
    }
    maybeEnd();
}

void BatchRun::startUpload(const JobPtr& job) {
    const DataModelPtr& record = job->record;
    setRow(record, RowStatus::InProgress, QString());
    ImageUpload::Options options;
    options.imgFormat = m_options.imgFormat;
    options.isColored = m_options.isColored;
    options.selectedColor = m_options.selectedColor;
    m_upload->send(*record, options,
                   [self = QPointer<BatchRun>(this), job](const UploadOutcome& outcome) {
                       if (self) self->onUploadOutcome(job, outcome);
                   });
}

void BatchRun::startDownload(const JobPtr& job) {
    if (job->record->status != RowStatus::InProgress || !job->record->statusText.isEmpty())
        setRow(job->record, RowStatus::InProgress, QString());
    m_saver->save(job->record->resultUrl,
                  [self = QPointer<BatchRun>(this), job](const SaveOutcome& saved) {
                      if (self) self->onSaveOutcome(job, saved);
                  });
}

bool BatchRun::owns(const JobPtr& job) const {
    return m_jobs.contains(job) && m_queue.indexOf(job->record.get()) >= 0;
}

void BatchRun::onUploadOutcome(const JobPtr& job, const UploadOutcome& outcome) {
    if (!owns(job)) {
        // The list was emptied while the image was on its way; the outcome has no row any more.
        m_jobs.removeOne(job);
        return;
    }
    const DataModelPtr& record = job->record;
    if (outcome.transient && outcome.kind != UploadOutcome::Kind::Accepted) {
        // An overloaded service gets fewer images at once for the rest of the run.
        if (outcome.kind != UploadOutcome::Kind::Halted &&
            (outcome.transientReason == QLatin1String("too many requests") ||
             outcome.transientReason == QLatin1String("service unavailable")))
            m_limit = std::max(1, m_limit - 1);
        if (retryLater(job, outcome.transientReason, outcome.retryAfterMs)) return;
    }
    switch (outcome.kind) {
        case UploadOutcome::Kind::Halted:
            m_haltReason = outcome.text.isEmpty() ? QStringLiteral("no answer") : outcome.text;
            putBack(record, RowStatus::FailedHalted);
            finishJob(job);
            return;
        case UploadOutcome::Kind::OutOfCredit:
            m_outOfCredit = true;
            m_context.credits.setBalances(0, 0, 0);
            m_credits.refreshDisplay();
            putBack(record);
            finishJob(job);
            return;
        case UploadOutcome::Kind::Failed:
            record->failedForGood = outcome.failedForGood;
            setRow(record, RowStatus::Failed, outcome.text);
            finishJob(job);
            return;
        case UploadOutcome::Kind::Accepted: {
            // A reply without balances keeps the ones known. With several images in flight the
            // replies can overtake each other; the balance only falls during a run, so an
            // earlier (higher) one arriving late does not replace a later one.
            const UserDetailsModel balances = UserDetailsModel::fromJson(outcome.reply);
            const UserDetailsModel known = m_context.credits.snapshot();
            if (balances.hasBalances() &&
                (!known.hasBalances() || balances.creditTotal() <= known.creditTotal()))
                m_context.credits.replace(balances);
            m_credits.refreshDisplay();
            // The credit is spent: the address is kept until the file is saved, and the image is
            // never sent again. An address that is missing cannot be fetched later either.
            record->resultUrl = outcome.resultUrl;
            m_queue.notifyResultKnown(record.get());
            job->uploading = false;
            job->retries = 0;
            startDownload(job);
            fill();  // the credits known may allow another upload now
            return;
        }
    }
}

void BatchRun::onSaveOutcome(const JobPtr& job, const SaveOutcome& outcome) {
    if (!owns(job)) {
        m_jobs.removeOne(job);
        return;
    }
    const DataModelPtr& record = job->record;
    if (!outcome.ok && outcome.transient &&
        retryLater(job, outcome.transientReason, outcome.retryAfterMs))
        return;
    if (outcome.ok) {
        const QUrl file = QUrl::fromLocalFile(outcome.filePath);
        if (m_queue.arrUploadImages)
            m_queue.arrUploadImages->append(file);
        else
            m_queue.arrUploadImages = QList<QUrl>{file};
        record->outputFile = outcome.filePath;
        record->resultUrl.clear();
        setRow(record, RowStatus::Done,
               QStringLiteral(" %1x%2").arg(outcome.size.width()).arg(outcome.size.height()));
    } else {
        // The address stays: "Retry failed" downloads again instead of paying again, unless the
        // service says the result is gone, when only sending the image again can bring it back.
        if (outcome.gone) record->resultUrl.clear();
        record->failedForGood = false;
        if (outcome.writeFailed) m_folderProbed = false;
        setRow(record, RowStatus::Failed, outcome.text);
    }
    finishJob(job);
}

bool BatchRun::retryLater(const JobPtr& job, const QString& reason, qint64 retryAfterMs) {
    if (job->retries >= m_retryDelaysMs.size() || m_queue.isStopTapped) return false;
    qint64 delay = m_retryDelaysMs.at(job->retries++);
    if (retryAfterMs >= 0)
        delay = std::max<qint64>(delay, std::min<qint64>(retryAfterMs, kMaxRetryAfterMs));
    job->waitReason = reason;
    job->waitEnds = QDeadlineTimer(delay);
    job->wait = new QTimer(this);
    job->wait->setSingleShot(true);
    auto tick = [this, job] {
        if (!owns(job)) return;
        const qint64 left = job->waitEnds.remainingTime();
        if (left > 0) {
            const qint64 seconds = (left + 999) / 1000;
            setRow(job->record, RowStatus::InProgress,
                   QStringLiteral("Retrying in %1 s (%2)").arg(seconds).arg(job->waitReason));
            job->wait->start(static_cast<int>(std::min<qint64>(left - (seconds - 1) * 1000, left)));
            return;
        }
        job->wait->deleteLater();
        job->wait = nullptr;
        // After a 429 or 503 fewer may be in flight than are held; the others go first.
        job->due = true;
        fill();
    };
    connect(job->wait, &QTimer::timeout, this, tick);
    tick();
    return true;
}

void BatchRun::cancelWaits() {
    for (const JobPtr& job : QList<JobPtr>(m_jobs)) {
        if (!job->wait && !job->due) continue;
        if (job->wait) {
            job->wait->stop();
            job->wait->deleteLater();
        }
        job->wait = nullptr;
        job->due = false;
        m_jobs.removeOne(job);
        if (m_queue.indexOf(job->record.get()) >= 0) putBack(job->record);
    }
}

void BatchRun::putBack(const DataModelPtr& record, RowStatus status) {
    setRow(record, status, QString());
    const int index = m_queue.indexOf(record.get());
    if (index >= 0) m_queue.counter = std::min<qint64>(m_queue.counter, index);
}

void BatchRun::finishJob(const JobPtr& job) {
    m_jobs.removeOne(job);
    // On the next turn, so that a long series of refused images does not nest calls.
    QTimer::singleShot(0, this, [this] {
        if (isRunning()) uploadNextImage();
    });
}

void BatchRun::setRow(const DataModelPtr& record, RowStatus status, const QString& text) {
    const bool wasFailed = record->status == RowStatus::Failed;
    record->status = status;
    record->statusText = text;
    m_queue.notifyRowChanged(record.get());
    if (wasFailed != (status == RowStatus::Failed)) reportRetriable();
}

void BatchRun::maybeEnd() {
    if (!isRunning() || !m_jobs.isEmpty()) return;
    m_queue.updateUploadCount(m_queue.handledCount());
    if (!m_haltReason.isEmpty()) {
        endHalted();
    } else if (m_outOfCredit) {
        endStopped();
        emit stoppedForCredit();
        showCreditAlert();
    } else if (nextToSend() >= m_queue.count()) {
        endFinished();
    } else if (m_queue.isStopTapped) {
        endStopped();
    }
}

void BatchRun::endHalted() {
    const QString reason = m_haltReason;
    m_haltReason.clear();
    m_window.apply([](WindowState::Controls& c) {
        c.unlockList();
        c.btnStartEnabled = true;
        c.btnStartTitle = kStart;
    });
    m_credits.refreshDisplay();
    setState(RunState::Halted);
    // After the run's own text, what went wrong and how to go on.
    m_context.alerts.showAlert(
        kHaltAlert, QStringLiteral("The service could not be reached (%1). %2 of %3 done \u2014 "
                                   "press START to continue.")
                        .arg(reason)
                        .arg(m_queue.doneCount())
                        .arg(m_queue.count()));
}

void BatchRun::endFinished() {
    const bool retriable = retriableFailedCount() > 0;
    m_window.apply([retriable](WindowState::Controls& c) {
        c.unlockList();
        // With failed images left, START offers to send them again.
        c.btnStartEnabled = retriable;
        c.btnStartTitle = kStart;
    });
    setState(RunState::Finished);
}

void BatchRun::endStopped() {
    m_window.apply([](WindowState::Controls& c) {
        c.unlockList();
        c.btnStartEnabled = true;
        c.btnStartTitle = kStart;
    });
    setState(idleState());
}

void BatchRun::onQueueReset() {
    // Images still on their way are forgotten: their outcomes find no row and are dropped.
    cancelWaits();
    m_jobs.clear();
    m_haltReason.clear();
    m_outOfCredit = false;
    setState(RunState::Empty);
}

void BatchRun::onRowInserted() {
    if (m_state == RunState::Empty || m_state == RunState::Finished || m_state == RunState::Halted)
        setState(RunState::Ready);
}
