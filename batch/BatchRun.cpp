#include "BatchRun.h"

#include "AlertPresenter.h"
#include "AppContext.h"
#include "CreditRecord.h"
#include "CreditService.h"
#include "ImageQueue.h"
#include "ImageUpload.h"
#include "ResultSaver.h"
#include "ServiceSession.h"
#include "SettingsStore.h"
#include "UserDetailsModel.h"
#include "VersionCheck.h"
#include "WindowState.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QImageReader>
#include <QPointer>
#include <QTimer>

#include <algorithm>

namespace {

const QString kStart = QStringLiteral("START");
const QString kStop = QStringLiteral("STOP");
const QString kStopping = QStringLiteral("Stopping\u2026");
const QString kUploading = QStringLiteral("Uploading");

// The words of a row that the run ended before sending.
QString notSent(const QString& why) {
    return QStringLiteral("Not sent: %1").arg(why);
}

using Kind = ServiceFailure::Kind;

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
    qint64 askedWaitMs = 0;  // of the current step, the pauses the service asked for
    QTimer* wait = nullptr;  // set while waiting to try again
    bool due = false;        // the pause is over; it goes again as soon as a place is free
    QDeadlineTimer waitEnds;
    QString waitReason;
    ResultKey key;  // the result's entry in the ledger
};

BatchRun::BatchRun(AppContext& context, ServiceSession& session, ImageQueue& queue,
                   WindowState& window, CreditService& credits, VersionCheck& version,
                   QObject* parent)
    : QObject(parent),
      m_context(context),
      m_queue(queue),
      m_window(window),
      m_credits(credits),
      m_version(version),
      m_upload(new ImageUpload(context, session, this)),
      m_saver(new ResultSaver(session, this)) {
    m_state = idleState();
    connect(&m_queue, &ImageQueue::rowsReset, this, &BatchRun::onQueueReset);
    connect(&m_queue, &ImageQueue::rowInserted, this, &BatchRun::onRowInserted);
    connect(&m_queue, &ImageQueue::rowRemoved, this, &BatchRun::reportRetriable);
}

BatchRun::~BatchRun() = default;

bool BatchRun::isRunning() const {
    return m_state == RunState::Running || m_state == RunState::Stopping;
}

bool BatchRun::isWaitingToRetry() const {
    for (const JobPtr& job : m_jobs)
        if (job->wait || job->due) return true;
    return false;
}

bool BatchRun::isBusy() const {
    return isRunning() || m_state == RunState::Checking || m_versionPending || !m_jobs.isEmpty();
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

void BatchRun::start(const RunConfig& config) {
    emit colorPanelCloseRequested();
    if (isBusy()) return;
    const bool newOptions = canRunAgain(config);
    m_config = config;
    m_keys.clear();
    if (nextToSend() >= m_queue.count()) {
        // Nothing waits; failed images can be offered again instead of doing nothing.
        const int failed = retriableFailedCount();
        if (failed == 0 && newOptions) return askToRunAgain();
        if (failed == 0) return;
        SheetAlert alert;
        alert.messageText = failed == 1 ? QStringLiteral("Retry 1 failed image?")
                                        : QStringLiteral("Retry %1 failed images?").arg(failed);
        alert.informativeText = QStringLiteral("Images already done are not sent again.");
        alert.buttons = QStringList{QStringLiteral("Retry"), QStringLiteral("Cancel")};
        m_context.alerts.showSheetAlert(alert, [self = QPointer<BatchRun>(this)](int button) {
            if (button == 0 && self) self->retryFailed(self->m_config);
        });
        return;
    }
    m_versionPending = true;
    setState(RunState::Checking);

    checkVersion(0);
}

void BatchRun::checkVersion(int attempt) {
    auto pending = std::make_shared<PendingCheck>();
    pending->run = this;
    pending->dropped = [this] {
        if (!m_versionPending) return;
        m_versionPending = false;
        if (m_state == RunState::Checking)
            refuseStart(RunEnd::Kind::Halted, QStringLiteral("the version check failed"));
    };
    auto answered = [pending]() -> BatchRun* {
        pending->answered = true;
        BatchRun* run = pending->run;
        if (!run) return nullptr;
        if (run->m_state == RunState::Checking) return run;
        // The list was emptied (or the command stopped) while the check was on its way.
        run->m_versionPending = false;
        return nullptr;
    };
    m_version.check(
        [answered](UpdateType type) {
            BatchRun* run = answered();
            if (!run) return;
            run->m_versionPending = false;
            switch (type) {
                case UpdateType::soft:
                    run->m_version.showUpdateAlert(UpdateType::soft);
                    run->beginUpload();
                    break;
                case UpdateType::hard:
                    run->m_version.showUpdateAlert(UpdateType::hard);
                    run->refuseStart(RunEnd::Kind::UpdateRequired);
                    break;
                case UpdateType::unknown:
                    run->beginUpload();
                    break;
            }
        },
        [answered, attempt](const JsonReply& reply) {
            BatchRun* run = answered();
            if (!run) return;
            // The first exchange of a run is retried like every other one.
            const ServiceFailure failure = reply.failure();
            const qint64 pause =
                failure.mayPass() ? run->m_startRetries.pauseBefore(attempt, failure.retryAfterMs)
                                  : -1;
            if (pause >= 0) {
                emit run->startDelayed(
                    ServiceFailure::unreachable(run->m_context.service.baseUrl(), failure.reason),
                    pause);
                QTimer::singleShot(pause, run, [run, attempt] {
                    if (run->m_state == RunState::Checking) run->checkVersion(attempt + 1);
                });
                return;
            }
            run->m_versionPending = false;
            run->m_version.showFailure(reply);
            run->refuseStart(RunEnd::Kind::Halted,
                             failure.reason.isEmpty() ? reply.description : failure.reason);
        });
}

bool BatchRun::canRunAgain(const RunConfig& config) const {
    if (m_state != RunState::Finished || m_queue.doneCount() == 0) return false;
    return config.imgFormat != m_config.imgFormat || config.backdrop() != m_config.backdrop();
}

void BatchRun::askToRunAgain() {
    const int n = m_queue.doneCount();
    const UserDetailsModel credits = m_context.credits.snapshot();
    SheetAlert alert;
    alert.messageText =
        n == 1 ? QStringLiteral("Process 1 image again with the new options?")
               : QStringLiteral("Process %1 images again with the new options?").arg(n);
    alert.informativeText =
        (n == 1 ? QStringLiteral("This takes 1 credit")
                : QStringLiteral("This takes %1 credits").arg(n)) +
        (credits.hasBalances() ? QStringLiteral(" (%1 left).").arg(credits.creditTotal())
                               : QStringLiteral(".")) +
        QStringLiteral(" A result saved under the same file name is replaced.");
    alert.buttons = QStringList{QStringLiteral("Process Again"), QStringLiteral("Cancel")};
    m_context.alerts.showSheetAlert(alert, [self = QPointer<BatchRun>(this)](int button) {
        if (button != 0 || !self || self->isBusy()) return;
        for (int i = 0; i < self->m_queue.count(); ++i) {
            const DataModelPtr record = self->m_queue.at(i);
            if (record->status != RowStatus::Done) continue;
            record->outputFile.clear();
            self->setRow(record, RowStatus::Waiting, QString());
        }
        self->m_queue.counter = 0;
        self->m_queue.updateUploadCount(self->m_queue.handledCount());
        self->setState(RunState::Ready);
        self->start(self->m_config);
    });
}

void BatchRun::stop() {
    if (m_state != RunState::Running || m_queue.isStopTapped) return;
    // Images on their way are not cancelled (their credits are spent); one waiting to be tried
    // again is put back at once.
    m_window.apply([](WindowState::Controls& c) {
        c.btnStartEnabled = false;
        c.btnStartTitle = kStopping;
    });
    m_queue.isStopTapped = true;
    setState(RunState::Stopping);
    cancelWaits();
    maybeEnd();
}

void BatchRun::retryFailed(const RunConfig& config, const DataModelPtr& only) {
    if (isBusy()) return;
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
    start(config);
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

void BatchRun::refuseStart(RunEnd::Kind kind, const QString& cause) {
    if (m_state == RunState::Checking) setState(idleState());
    emit ended(RunEnd{kind, cause});
}

void BatchRun::beginUpload() {
    if (!m_jobs.isEmpty()) return;
    markAlreadySaved(m_config);
    if (nextToSend() >= m_queue.count()) return refuseStart(RunEnd::Kind::NotStarted);
    if (m_config.apiKey.isEmpty()) {
        refuseStart(RunEnd::Kind::NotStarted, QStringLiteral("no API key"));
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
        m_credits.fetchBalances(m_config.apiKey, m_config.forgetRefusedKey,
                                [self = QPointer<BatchRun>(this)](const ServiceFailure& failure) {
                                    if (!self) return;
                                    self->m_versionPending = false;
                                    if (!failure.ok()) {
                                        // The credit check has told the user why (unreachable, or
                                        // the key refused).
                                        if (self->m_state != RunState::Checking) return;
                                        self->refuseStart(failure.kind == Kind::KeyRefused
                                                              ? RunEnd::Kind::KeyRefused
                                                              : RunEnd::Kind::Halted,
                                                          failure.reason);
                                        return;
                                    }
                                    self->continueChecks();
                                });
        return;
    }
    continueChecks();
}

void BatchRun::continueChecks() {
    if (m_context.credits.snapshot().creditTotal() == 0) {
        refuseStart(RunEnd::Kind::OutOfCredit);
        showCreditAlert();
        return;
    }
    if (m_config.isColored && m_config.selectedColor.isEmpty()) {
        refuseStart(RunEnd::Kind::NotStarted, QStringLiteral("no colour chosen"));
        m_context.alerts.showAlert(kColourAlert);
        return;
    }
    m_folderProbed = false;
    // Paid addresses a failed write left in memory go to disk before anything more is paid.
    if (m_ledger && !m_ledger->flush()) {
        refuseStart(RunEnd::Kind::Halted, journalFailure());
        showJournalAlert(journalFailure());
        return;
    }
    adoptPaidResults();
    const DataModelPtr first = m_queue.at(nextToSend());
    if (first && first->resultUrl.isEmpty() && !outputFolderReady(first->byteCount)) {
        refuseStart(RunEnd::Kind::FolderUnusable, m_ending.cause);
        m_ending = RunEnd{};
        return;
    }
    m_queue.isStopTapped = false;
    m_ending = RunEnd{};
    m_limit = std::clamp(m_config.imagesAtATime, 1, SettingsStore::kMaxImagesAtATime);
    m_saver->beginRun(m_config.outputFolder, m_config.naming);
    m_window.apply([](WindowState::Controls& c) {
        c.btnStartTitle = kStop;
        c.btnStartEnabled = true;
        c.lockList();
    });
    setState(RunState::Running);
    fill();
}

void BatchRun::adoptPaidResults() {
    if (!m_ledger) return;
    const QHash<QString, QString> paid = m_ledger->paidResults(m_config);
    if (paid.isEmpty()) return;
    int adopted = 0;
    for (int i = 0; i < m_queue.count(); ++i) {
        const DataModelPtr record = m_queue.at(i);
        if (record->isHandled() || !record->resultUrl.isEmpty()) continue;
        const QString url = paid.value(record->imageURl.value_or(QString()));
        if (url.isEmpty()) continue;
        record->resultUrl = url;
        m_queue.notifyResultKnown(record.get());
        ++adopted;
    }
    if (adopted > 0) emit paidResultsAdopted(adopted);
}

QString BatchRun::journalFailure() const {
    return QStringLiteral(
               "The batch journal cannot be written: %1. Nothing more is sent until it can.")
        .arg(m_ledger ? m_ledger->error() : QString());
}

void BatchRun::showJournalAlert(const QString& cause) {
    m_context.alerts.showAlert(
        kHaltAlert, QStringLiteral("%1\nThe journal: %2\n%3 of %4 done \u2014 %5 once it can be "
                                   "written.")
                        .arg(cause, m_ledger ? m_ledger->path() : QString())
                        .arg(m_queue.doneCount())
                        .arg(m_queue.count())
                        .arg(m_config.resumeHint));
}

int BatchRun::markAlreadySaved(const RunConfig& config) {
    if (!m_ledger || !m_jobs.isEmpty()) return 0;
    auto concerned = [](const DataModel& record) {
        return (record.status == RowStatus::Waiting && !record.sendAgain) || record.alreadySaved;
    };
    // After a finished run every row is done: nothing to look up.
    bool any = false;
    for (int i = 0; i < m_queue.count() && !any; ++i) any = concerned(*m_queue.at(i));
    if (!any) {
        m_queue.updateUploadCount(m_queue.handledCount());
        return 0;
    }
    const QHash<QString, SavedResult> saved = m_ledger->savedResults(config);
    int count = 0;
    for (int i = 0; i < m_queue.count(); ++i) {
        const DataModelPtr record = m_queue.at(i);
        if (!concerned(*record)) continue;
        const auto found = saved.constFind(record->imageURl.value_or(QString()));
        if (found != saved.constEnd() && countsAsDone(record, *found)) {
            ++count;
            if (record->alreadySaved && record->outputFile == found->filePath) continue;
            showAlreadySaved(record, found->filePath);
        } else if (record->alreadySaved) {
            // Other options, another folder, or the file is gone: the photo is to be sent.
            record->alreadySaved = false;
            record->outputFile.clear();
            setRow(record, RowStatus::Waiting, QString());
            m_queue.counter = std::min<qint64>(m_queue.counter, i);
        }
    }
    m_queue.updateUploadCount(m_queue.handledCount());
    return count;
}

bool BatchRun::countsAsDone(const DataModelPtr& record, const SavedResult& saved) const {
    // "Process again" and the command line's re-runs make what an earlier run saved again, but
    // not what another process saved since.
    const qint64 since = record->sendAgain ? m_sendAgainSince : m_config.resendSavedBeforeMs;
    return saved.savedAtMs >= since;
}

void BatchRun::showAlreadySaved(const DataModelPtr& record, const QString& filePath) {
    record->alreadySaved = true;
    record->outputFile = filePath;
    record->resultUrl.clear();
    const QSize size = QImageReader(filePath).size();
    setRow(record, RowStatus::Done,
           size.isValid()
               ? QStringLiteral("Already saved \u00b7 %1x%2").arg(size.width()).arg(size.height())
               : QStringLiteral("Already saved"));
}

void BatchRun::sendAgain(const DataModelPtr& record) {
    if (isBusy() || !record || !record->alreadySaved) return;
    record->alreadySaved = false;
    record->sendAgain = true;
    m_sendAgainSince = QDateTime::currentMSecsSinceEpoch();
    record->outputFile.clear();
    setRow(record, RowStatus::Waiting, QString());
    const int index = m_queue.indexOf(record.get());
    if (index >= 0) m_queue.counter = std::min<qint64>(m_queue.counter, index);
    m_queue.updateUploadCount(m_queue.handledCount());
    if (m_state == RunState::Finished) setState(RunState::Ready);
    m_window.apply([](WindowState::Controls& c) {
        c.btnStartEnabled = true;
        c.btnStartTitle = kStart;
    });
}

bool BatchRun::outputFolderReady(qint64 sourceBytes) {
    QString message;
    QString detail;
    const QString folder =
        SettingsStore::prepareFolder(m_config.outputFolder, m_config.createOutputFolder, &message);
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
    m_ending = RunEnd{RunEnd::Kind::FolderUnusable,
                      detail.isEmpty() ? message : message + QStringLiteral(": ") + detail};
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
    while (!m_queue.isStopTapped && m_ending.kind == RunEnd::Kind::Finished &&
           m_jobs.size() < m_limit) {
        const qint64 next = nextToSend();
        m_queue.counter = next;
        const DataModelPtr record = m_queue.at(next);
        if (!record) break;
        auto job = std::make_shared<Job>();
        job->record = record;
        job->key = keyOf(*record);
        if (m_ledger) {
            // One process sends a photo at a time; under the claim, what another one did with it
            // is known for certain.
            // The next few photos are claimed with this one: one commit for several.
            const QList<ResultKey> ahead =
                m_ledger->holds(job->key) ? QList<ResultKey>() : keysAfter(next, 0, kClaimAhead);
            // The claim is asked for off this thread; its answer brings the run back here.
            const PaidLedger::Claim claim =
                m_ledger->claim(job->key, ahead, [self = QPointer<BatchRun>(this)] {
                    if (self) self->fill();
                });
            if (claim == PaidLedger::Claim::Asked) break;
            if (claim == PaidLedger::Claim::Failed) {
                m_ending = RunEnd{RunEnd::Kind::Halted, journalFailure()};
                break;
            }
            // Rows settled here are handled: the next turn of the loop passes them by.
            if (claim == PaidLedger::Claim::HeldElsewhere) {
                record->failedForGood = false;
                setRow(record, RowStatus::Failed, kElsewhere);
                continue;
            }
            // Halfway through the photos claimed ahead, the ones after them are asked for, so
            // that the run does not wait for their claim when it reaches them.
            if (const QList<ResultKey> half = keysAfter(next, kClaimAhead / 2, 1);
                !half.isEmpty() && !m_ledger->holds(half.first()))
                m_ledger->claimSoon(keysAfter(next, kClaimAhead / 2, kClaimAhead + 1));
            if (const std::optional<SavedResult> saved = m_ledger->savedResult(job->key);
                saved && countsAsDone(record, *saved)) {
                showAlreadySaved(record, saved->filePath);
                m_ledger->release(job->key);
                continue;
            }
            if (record->resultUrl.isEmpty()) record->resultUrl = m_ledger->paidResult(job->key);
        }
        const bool downloadOnly = !record->resultUrl.isEmpty();
        if (!downloadOnly) {
            // Never more uploads open than credits known to be left.
            const qint64 credits = creditsForNewUploads();
            if (credits >= 0 && credits <= 0) {
                if (m_jobs.isEmpty()) m_ending = RunEnd{RunEnd::Kind::OutOfCredit, QString()};
                if (m_ledger) m_ledger->release(job->key);
                break;
            }
            if (!outputFolderReady(record->byteCount)) {
                if (m_ledger) m_ledger->release(job->key);
                break;
            }
        }
        ++m_queue.counter;
        job->uploading = !downloadOnly;
        m_jobs.append(job);
        if (downloadOnly)
            startDownload(job);
        else
            startUpload(job);
    }
    maybeEnd();
}

QList<ResultKey> BatchRun::keysAfter(qint64 index, int skip, int count) {
    QList<ResultKey> keys;
    for (qint64 i = index + 1; i < m_queue.count() && keys.size() < count; ++i)
        if (const DataModelPtr later = m_queue.at(i); !later->isHandled() && skip-- <= 0)
            keys.append(keyOf(*later));
    return keys;
}

const ResultKey& BatchRun::keyOf(const DataModel& record) {
    const QString path = record.imageURl.value_or(QString());
    auto found = m_keys.find(path);
    if (found == m_keys.end()) found = m_keys.insert(path, ResultKey::of(path, m_config));
    return *found;
}

void BatchRun::startUpload(const JobPtr& job) {
    const DataModelPtr& record = job->record;
    setRow(record, RowStatus::InProgress, kUploading);
    ImageUpload::Options options;
    options.imgFormat = m_config.imgFormat;
    options.isColored = m_config.isColored;
    options.selectedColor = m_config.selectedColor;
    m_upload->send(
        record->imageURl.value_or(QString()), record->imageName.value_or(QString()),
        m_config.apiKey, options,
        [self = QPointer<BatchRun>(this), job](const UploadOutcome& outcome) {
            if (self) self->onUploadOutcome(job, outcome);
        },
        [self = QPointer<BatchRun>(this), job] {
            // The image is on the service's side: it is being cut out.
            if (self && self->owns(job) && job->record->statusText == kUploading)
                self->setRow(job->record, RowStatus::InProgress, QStringLiteral("Cutting out"));
        });
}

void BatchRun::startDownload(const JobPtr& job) {
    setRow(job->record, RowStatus::InProgress, QStringLiteral("Downloading"));
    m_saver->save(job->record->resultUrl, job->record->imageName.value_or(QString()),
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
    const ServiceFailure& failure = outcome.failure;
    if (failure.mayPass()) {
        // An overloaded service gets fewer images at once for the rest of the run.
        if (failure.kind == Kind::Overloaded) m_limit = std::max(1, m_limit - 1);
        if (retryLater(job, failure)) return;
    }
    if (outcome.accepted) {
        // A reply without balances keeps the ones known. With several images in flight the
        // replies can overtake each other; the balance only falls during a run, so an earlier
        // (higher) one arriving late does not replace a later one.
        const UserDetailsModel balances = UserDetailsModel::fromJson(outcome.reply);
        const UserDetailsModel known = m_context.credits.snapshot();
        if (balances.hasBalances() &&
            (!known.hasBalances() || balances.creditTotal() <= known.creditTotal()))
            m_context.credits.replace(balances);
        m_credits.refreshDisplay();
        // The credit is spent: the address is kept until the file is saved, and the image is
        // never sent again. An address that is missing cannot be fetched later either.
        record->resultUrl = outcome.resultUrl;
        job->uploading = false;
        job->retries = 0;
        job->askedWaitMs = 0;
        if (m_ledger && !outcome.resultUrl.isEmpty()) {
            // The download starts once the address is on disk, so that a crash from then on
            // cannot lose it; the other images go on meanwhile.
            m_ledger->rememberPaid(job->key, outcome.resultUrl,
                                   [self = QPointer<BatchRun>(this), job](bool written) {
                                       if (self) self->onPaidWritten(job, written);
                                   });
        } else {
            startDownload(job);
        }
        m_queue.notifyResultKnown(record.get());
        fill();  // the credits known may allow another upload now
        return;
    }
    switch (failure.kind) {
        case Kind::OutOfCredit:
            m_ending = RunEnd{RunEnd::Kind::OutOfCredit, QString()};
            m_context.credits.setBalances(0, 0, 0);
            m_credits.refreshDisplay();
            putBack(record, RowStatus::Waiting, notSent(QStringLiteral("no credit left")));
            break;
        case Kind::KeyRefused:
        case Kind::UpdateRequired:
            m_ending = RunEnd{failure.kind == Kind::KeyRefused ? RunEnd::Kind::KeyRefused
                                                               : RunEnd::Kind::UpdateRequired,
                              outcome.text};
            putBack(record, RowStatus::Waiting,
                    notSent(failure.kind == Kind::KeyRefused
                                ? QStringLiteral("the API key was refused")
                                : QStringLiteral("this version must be updated")));
            break;
        case Kind::Permanent:
        case Kind::ResultGone:
            record->failedForGood = outcome.failedForGood;
            setRow(record, RowStatus::Failed, outcome.text);
            break;
        default:
            // Retries used up: a row the service answered for fails with its words; a service
            // that cannot be reached halts the run at this image.
            if (failure.answered && failure.kind != Kind::Halt) {
                record->failedForGood = false;
                setRow(record, RowStatus::Failed, outcome.text);
                break;
            }
            m_ending = RunEnd{RunEnd::Kind::Halted,
                              outcome.text.isEmpty() ? QStringLiteral("no answer") : outcome.text};
            putBack(
                record, RowStatus::FailedHalted,
                notSent(
                    QStringLiteral("the service could not be reached (%1)").arg(m_ending.cause)));
            break;
    }
    finishJob(job);
}

void BatchRun::onPaidWritten(const JobPtr& job, bool written) {
    if (!owns(job)) {
        m_jobs.removeOne(job);
        return;
    }
    // Nothing more is paid for while a crash could lose what was paid; this image's result is
    // still fetched and saved, its address kept in memory until the journal takes it.
    if (!written) m_ending = RunEnd{RunEnd::Kind::Halted, journalFailure()};
    startDownload(job);
}

void BatchRun::onSaveOutcome(const JobPtr& job, const SaveOutcome& outcome) {
    if (!owns(job)) {
        m_jobs.removeOne(job);
        return;
    }
    const DataModelPtr& record = job->record;
    if (!outcome.ok && outcome.failure.mayPass() && retryLater(job, outcome.failure)) return;
    if (outcome.ok) {
        const QUrl file = QUrl::fromLocalFile(outcome.filePath);
        if (m_queue.arrUploadImages)
            m_queue.arrUploadImages->append(file);
        else
            m_queue.arrUploadImages = QList<QUrl>{file};
        record->outputFile = outcome.filePath;
        record->resultUrl.clear();
        record->sendAgain = false;
        if (m_ledger) m_ledger->recordSaved(job->key, QFileInfo(outcome.filePath).fileName());
        const QString size =
            QStringLiteral(" %1x%2").arg(outcome.size.width()).arg(outcome.size.height());
        setRow(record, RowStatus::Done,
               outcome.note.isEmpty() ? size : size + QStringLiteral(" \u00b7 ") + outcome.note);
    } else {
        // The address stays: "Retry failed" downloads again instead of paying again, unless the
        // service says the result is gone, when only sending the image again can bring it back.
        if (outcome.failure.kind == Kind::ResultGone) {
            record->resultUrl.clear();
            if (m_ledger) m_ledger->forgetPaid(job->key);
        }
        record->failedForGood = false;
        if (outcome.writeFailed) m_folderProbed = false;
        // Results from a host whose certificate is refused cannot be fetched: nothing more is
        // paid for; the addresses are kept for when it can be trusted.
        if (outcome.failure.untrusted && m_ending.kind == RunEnd::Kind::Finished)
            m_ending = RunEnd{RunEnd::Kind::Halted, outcome.failure.reason};
        setRow(record, RowStatus::Failed, outcome.text);
    }
    finishJob(job);
}

bool BatchRun::retryLater(const JobPtr& job, const ServiceFailure& failure) {
    if (m_queue.isStopTapped) return false;
    // A service that answers "busy: come back in N s" is there and says so: the pauses it asks
    // for (a database restarting behind it, say) do not use up the retries, up to a patience.
    const bool asked = failure.kind == Kind::Overloaded && failure.retryAfterMs >= 0;
    const qint64 askedDelay = asked ? m_retries.pauseBefore(0, failure.retryAfterMs) : -1;
    qint64 delay = -1;
    if (askedDelay >= 0 && job->askedWaitMs + askedDelay <= m_askedPatienceMs) {
        delay = askedDelay;
        job->askedWaitMs += delay;
    } else {
        delay = m_retries.pauseBefore(job->retries, failure.retryAfterMs);
        if (delay < 0) return false;
        ++job->retries;
    }
    job->waitReason = failure.reason;
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
        if (m_ledger) m_ledger->release(job->key);
        if (m_queue.indexOf(job->record.get()) >= 0) putBack(job->record);
    }
}

void BatchRun::putBack(const DataModelPtr& record, RowStatus status, const QString& text) {
    setRow(record, status, text);
    const int index = m_queue.indexOf(record.get());
    if (index >= 0) m_queue.counter = std::min<qint64>(m_queue.counter, index);
}

void BatchRun::finishJob(const JobPtr& job) {
    m_jobs.removeOne(job);
    // What was saved is written as the claim is given up, so the next claimant sees it.
    if (m_ledger) m_ledger->release(job->key);
    // On the next turn, so that a long series of refused images does not nest calls.
    QTimer::singleShot(0, this, [this] {
        if (!isRunning()) return;
        m_queue.updateUploadCount(m_queue.handledCount());
        fill();
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
    const RunEnd ending = m_ending;
    m_ending = RunEnd{};
    switch (ending.kind) {
        case RunEnd::Kind::Halted:
            endRun(RunState::Halted, ending);
            // After the run's own text, what went wrong and how to go on. A cause that is a
            // sentence of its own (an untrusted certificate) is given as it is.
            if (ending.cause.startsWith(QLatin1String("The batch journal")))
                return showJournalAlert(ending.cause);
            m_context.alerts.showAlert(
                kHaltAlert, QStringLiteral("%1 %2 of %3 done \u2014 %4.")
                                .arg(ending.cause.endsWith(QLatin1Char('.'))
                                         ? ending.cause
                                         : ServiceFailure::unreachable(m_context.service.baseUrl(),
                                                                       ending.cause))
                                .arg(m_queue.doneCount())
                                .arg(m_queue.count())
                                .arg(m_config.resumeHint));
            return;
        case RunEnd::Kind::OutOfCredit:
            endRun(idleState(), ending);
            showCreditAlert();
            return;
        case RunEnd::Kind::Finished:
            if (nextToSend() >= m_queue.count()) return endRun(RunState::Finished, ending);
            if (m_queue.isStopTapped) endRun(idleState(), RunEnd{RunEnd::Kind::Stopped, QString()});
            return;
        default:  // key refused, update required, folder unusable: their alerts were shown
            endRun(idleState(), ending);
            return;
    }
}

void BatchRun::endRun(RunState state, const RunEnd& end) {
    // With failed images left after a whole run, START offers to send them again.
    const bool enabled = state != RunState::Finished || retriableFailedCount() > 0;
    m_window.apply([enabled](WindowState::Controls& c) {
        c.unlockList();
        c.btnStartEnabled = enabled;
        c.btnStartTitle = kStart;
    });
    if (state == RunState::Halted) m_credits.refreshDisplay();
    if (m_ledger) m_ledger->releaseAll();
    setState(state);
    emit ended(end);
}

void BatchRun::onQueueReset() {
    // Images still on their way are forgotten: their outcomes find no row and are dropped.
    cancelWaits();
    m_jobs.clear();
    if (m_ledger) m_ledger->releaseAll();
    m_ending = RunEnd{};
    setState(RunState::Empty);
}

void BatchRun::onRowInserted() {
    if (m_state == RunState::Empty || m_state == RunState::Finished || m_state == RunState::Halted)
        setState(RunState::Ready);
}
