#pragma once

#include "DataModel.h"
#include "PaidLedger.h"
#include "RunConfig.h"
#include "ServiceFailure.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <memory>

using DataModelPtr = std::shared_ptr<DataModel>;

struct AppContext;
struct SaveOutcome;
struct UploadOutcome;
class CreditService;
class ImageQueue;
class ImageUpload;
class ResultSaver;
class ServiceSession;
class VersionCheck;
class WindowState;

// Where the run stands; the window's START/STOP button and the list follow it.
enum class RunState {
    Empty,     // nothing queued
    Ready,     // images queued, no run in progress (also after a stop)
    Checking,  // START pressed; waiting for the version check (and the balances, when unknown)
    Running,   // images are being sent or their results saved
    Stopping,  // STOP pressed; the images in flight finish, then the run ends
    Finished,  // every queued image was handled
    Halted,    // the service could not be reached (retries used up); START continues there
};

// Runs the queue through the service: START and STOP, the checks before a run, the upload of
// each image, the saving of its result, and the end of the run.
//
// Up to RunConfig::imagesAtATime images are in flight at once (each: upload, then its result
// download), sent in list order; `counter` is the index of the first row not yet sent. A failure
// that may pass (no connection, time-out, 429, 5xx) is retried for the same image after a pause;
// only when the retries are used up does the run halt or the row fail. A 200 reply means the
// credit is spent: from then on the image is only ever downloaded again, never sent again, and
// with a ledger the address is committed there before the download starts, so that any later
// run (of this process or another) fetches it instead of paying again. Rows that are done or
// failed are skipped, so resuming never sends finished work again.
class BatchRun final : public QObject {
    Q_OBJECT
public:
    explicit BatchRun(AppContext& context, ServiceSession& session, ImageQueue& queue,
                      WindowState& window, CreditService& credits, VersionCheck& version,
                      QObject* parent = nullptr);
    ~BatchRun() override;

    // Paid results are kept there from now on (none when null).
    void setLedger(PaidLedger* ledger) { m_ledger = ledger; }
    PaidLedger* ledger() const { return m_ledger; }

    // START: the version check, the checks before a run (API key, credit, colour, output
    // folder), then the first uploads. Ignored while a run is under way.
    void start(const RunConfig& config);
    // STOP: nothing new is sent; the images in flight finish.
    void stop();
    // Puts the failed rows that another attempt may change (or only `record`) back to waiting
    // and starts a run from the first of them.
    void retryFailed(const RunConfig& config, const DataModelPtr& record = nullptr);
    // Failed rows that another attempt may change.
    int retriableFailedCount() const;
    // A finished list asked for with other options (format, background): START offers to
    // process its images again, and says what it costs.
    bool canRunAgain(const RunConfig& config) const;
    // Shows the waiting rows whose result for `config` is already in its folder (by the ledger)
    // as done, "Already saved", and puts rows shown so whose result is no longer there (or was
    // made with other options) back to waiting. Returns how many are already saved.
    int markAlreadySaved(const RunConfig& config);
    // "Process again": an already saved row is sent once more by the next START.
    void sendAgain(const DataModelPtr& record);

    bool isRunning() const;
    // An image waits before it is tried again (the service did not answer, or asked for less).
    bool isWaitingToRetry() const;
    // Checking, running or stopping: START would be ignored.
    bool isBusy() const;
    RunState runState() const { return m_state; }
    // The configuration of the current (or last) run.
    const RunConfig& config() const { return m_config; }
    // Caps the download of each result (the default is 50 MiB).
    void setMaxDownloadBytes(qint64 bytes);
    // The pauses before the first, second, ... retry of an image (default 1 s, 4 s, 10 s).
    // The pauses before the retries of a step, and how long in all a step waits when the
    // service asks it to come back later (503 or 429 with a Retry-After) before such answers
    // count as failures too.
    void setRetryDelays(const QList<int>& delaysMs, qint64 askedPatienceMs = kAskedPatienceMs) {
        m_retries = RetrySchedule(delaysMs);
        m_startRetries = RetrySchedule(delaysMs);
        m_askedPatienceMs = askedPatienceMs;
    }
    static constexpr qint64 kAskedPatienceMs = 3 * 60 * 1000;
    // Images in flight at most, for the current run (lowered while the service is overloaded).
    int inFlightLimit() const { return m_limit; }
    int inFlightCount() const { return static_cast<int>(m_jobs.size()); }

    static inline const QString kHaltAlert = QStringLiteral("Oops! Something went wrong.");
    static inline const QString kColourAlert = QStringLiteral("Please choose a color to continue.");
    static constexpr int kClaimAhead = 7;  // photos claimed with the one about to be sent
    static inline const QString kElsewhere = QStringLiteral("Being processed by another Vorpane");

signals:
    // "Got it" in the API key alert: the settings sheet opens.
    void settingsSheetRequested();
    // START closes the colour panel.
    void colorPanelCloseRequested();
    void runStateChanged(RunState state);
    // The run ended, or a check before it refused to start it.
    void ended(const RunEnd& end);
    // Results that the ledger knew to be paid for are fetched, not sent again.
    void paidResultsAdopted(int count);
    // The check before a run failed for a reason that may pass; it is asked again in `ms`.
    void startDelayed(const QString& why, qint64 ms);
    // The number of failed rows that "Retry failed" would send again has changed.
    void retriableFailedChanged(int count);

private:
    struct Job;
    using JobPtr = std::shared_ptr<Job>;

    void showActionAlert(const QString& title, const QString& message, const QString& action,
                         bool recharge);
    void showCreditAlert();
    void askToRunAgain();
    // The version check of START, tried again after a pause while its failure may pass.
    void checkVersion(int attempt);
    void beginUpload();
    // The checks after the key: credits (fetched first when unknown), colour, output folder.
    void continueChecks();
    // A check before the run refused: back to idle, and `ended` says why.
    void refuseStart(RunEnd::Kind kind, const QString& cause = QString());
    void setState(RunState state);
    // Ready, or Empty when nothing is queued.
    RunState idleState() const;
    // Starts as many images as the limits allow.
    void fill();
    // The ledger's keys of the photos to be sent after row `index`: at most `count`, leaving
    // out the first `skip`.
    QList<ResultKey> keysAfter(qint64 index, int skip, int count);
    // The photo's key, taken once a run: the claim made ahead of it and its own entry in the
    // ledger name the same file.
    const ResultKey& keyOf(const DataModel& record);
    // Jobs with a request open (not pausing before a retry).
    int activeCount() const;
    void startUpload(const JobPtr& job);
    void startDownload(const JobPtr& job);
    void onUploadOutcome(const JobPtr& job, const UploadOutcome& outcome);
    // The paid address of the job's image is on disk (`written`), or the ledger refused it.
    void onPaidWritten(const JobPtr& job, bool written);
    void onSaveOutcome(const JobPtr& job, const SaveOutcome& outcome);
    // Waits before trying the job's step again; false when its retries are used up.
    bool retryLater(const JobPtr& job, const ServiceFailure& failure);
    void finishJob(const JobPtr& job);
    // Puts a row that was not handled back in line: waiting, and `counter` no later than it.
    void putBack(const DataModelPtr& record, RowStatus status = RowStatus::Waiting,
                 const QString& text = QString());
    void setRow(const DataModelPtr& record, RowStatus status, const QString& text);
    // Whether an outcome for this job still belongs to the current run.
    bool owns(const JobPtr& job) const;
    // The row index of the next record to send from `counter` on, skipping handled rows.
    qint64 nextToSend() const;
    // Credits known to be left, minus the uploads whose reply has not come yet; -1 if unknown.
    qint64 creditsForNewUploads() const;
    // Whether a result of `sourceBytes` can be written to the output folder; otherwise the
    // alert is shown and the run stops before anything is sent.
    bool outputFolderReady(qint64 sourceBytes);
    // Rows without an address whose result the ledger knows to be paid for get that address.
    void adoptPaidResults();
    void showAlreadySaved(const DataModelPtr& record, const QString& filePath);
    bool countsAsDone(const DataModelPtr& record, const SavedResult& saved) const;
    // "The batch journal cannot be written: <why>. ..." and its alert, naming the file.
    QString journalFailure() const;
    void showJournalAlert(const QString& cause);
    void maybeEnd();
    void endRun(RunState state, const RunEnd& end);
    void cancelWaits();
    void onQueueReset();
    void onRowInserted();
    void reportRetriable();

    AppContext& m_context;
    ImageQueue& m_queue;
    WindowState& m_window;
    CreditService& m_credits;
    VersionCheck& m_version;
    ImageUpload* m_upload;
    ResultSaver* m_saver;
    PaidLedger* m_ledger = nullptr;

    RunConfig m_config;
    qint64 m_askedPatienceMs = kAskedPatienceMs;
    RunState m_state = RunState::Empty;
    bool m_versionPending = false;
    QList<JobPtr> m_jobs;  // the images in flight
    QHash<QString, ResultKey> m_keys;  // by source path, for the run under way
    int m_limit = 1;
    // An image's exchange gets a fourth, longer pause: over thousands of photos a flaky service
    // or proxy fails the same request three times in a row now and then, and halting the batch
    // for it costs more than half a minute. The run's first exchange halts sooner: nothing is
    // under way yet, and the user is waiting to hear whether the service is there.
    RetrySchedule m_retries{{1000, 4000, 10000, 30000}};
    RetrySchedule m_startRetries;
    bool m_folderProbed = false;  // the output folder took a test file during this run
    // Set when the run is to end once the images in flight are done (halt, no credit, key
    // refused, folder unusable); Finished while nothing stops it.
    RunEnd m_ending;
    int m_lastRetriable = -1;
    qint64 m_sendAgainSince = 0;  // when "Process again" was last chosen
};
