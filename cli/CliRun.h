#pragma once

#include "BatchRun.h"
#include "CreditService.h"
#include "ImageQueue.h"
#include "InputPlan.h"
#include "OutputOptions.h"
#include "PaidResults.h"
#include "VersionCheck.h"
#include "WindowState.h"

#include <QObject>
#include <QSet>
#include <QTimer>
#include <memory>

struct AppContext;
class ConsoleAlerts;
class Report;
class ServiceSession;

// The window's batch run, driven from the command line: the same queue, checks, uploads,
// retries and result saving, with a window state nobody renders. The batches of the plan are
// run one after the other, each with its own output folder; the first one that cannot finish
// (halt, out of credit, key refused, STOP) ends the command.
class CliRun final : public QObject {
    Q_OBJECT
public:
    // How the command ended; the process exits with it.
    enum Exit {
        AllDone = 0,
        SomeFailed = 1,
        BadUsage = 2,
        Halted = 3,
        OutOfCredit = 4,
        KeyRefused = 5,
        Stopped = 130,  // Ctrl+C, as shells report an interrupted command
    };

    CliRun(AppContext& context, ServiceSession& session, ConsoleAlerts& alerts, Report& report,
           QObject* parent = nullptr);

    OutputOptions& options() { return m_options; }
    // Keeps the addresses of paid results in `path` until their files are saved, and fetches
    // the ones an earlier run left there instead of sending their images again.
    void keepPaidResults(const QString& path);
    // Sends the plan's images, batch after batch.
    void start(const InputPlan& plan);
    // Lists what would be sent and the credits left; sends no image.
    void dryRun(const InputPlan& plan);
    // Ctrl+C: nothing new is sent; the images in flight finish and are saved.
    void stop();

signals:
    void finished(int exitCode);

private:
    void nextBatch();
    void onRunState(RunState state);
    void onRowChanged(int row);
    void onResultKnown(int row);
    PaidResults::Key paidKey(const DataModel& record) const;
    void batchEnded();
    void reportRecord(const DataModelPtr& record);
    // Reports every image that was not sent (this batch's rest and the later batches).
    void reportUnsent();
    void finish(Exit code);
    qint64 creditsLeft() const;

    AppContext& m_context;
    ConsoleAlerts& m_alerts;
    Report& m_report;
    WindowState m_window;
    OutputOptions m_options;
    ImageQueue m_queue;
    CreditService m_credits;
    VersionCheck m_version;
    BatchRun m_run;
    QTimer m_ticker;  // redraws the progress bar

    QList<Batch> m_batches;
    int m_next = 0;             // the batch to run next
    bool m_active = false;      // START was pressed for the current batch
    bool m_sawRunning = false;  // the current batch passed the checks
    bool m_stopping = false;
    bool m_finished = false;
    QSet<const DataModel*> m_reported;
    std::unique_ptr<PaidResults> m_paid;
    QSet<const DataModel*> m_paidOnRecord;  // rows of this batch with an entry in m_paid
    QString m_folder;                       // the current batch's output folder
    bool m_paidWriteFailed = false;
};
