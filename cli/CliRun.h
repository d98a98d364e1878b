#pragma once

#include "BatchRun.h"
#include "InputPlan.h"
#include "RunConfig.h"

#include <QObject>
#include <QSet>
#include <QTimer>

struct AppContext;
class BatchSession;
class Report;

// The window's batch run, driven from the command line: the same queue, checks, uploads,
// retries, result saving and ledger of paid results, with a window state nobody renders. The
// batches of the plan are run one after the other, each with its own output folder; the first
// one that cannot finish (halt, out of credit, key refused, STOP) ends the command.
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

    // `config` holds the key, the options and the number in flight; each batch gives it its
    // output folder.
    CliRun(AppContext& context, BatchSession& batch, Report& report, const RunConfig& config,
           QObject* parent = nullptr);

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
    void onEnded(const RunEnd& end);
    void onRowChanged(int row);
    void reportRecord(const DataModelPtr& record);
    // Reports every image that was not sent (this batch's rest and the later batches).
    void reportUnsent();
    void finish(Exit code);
    qint64 creditsLeft() const;

    AppContext& m_context;
    BatchSession& m_batch;
    Report& m_report;
    RunConfig m_config;
    QTimer m_ticker;  // redraws the progress bar

    QList<Batch> m_batches;
    int m_next = 0;         // the batch to run next
    bool m_active = false;  // START was pressed for the current batch
    bool m_stopping = false;
    bool m_finished = false;
    QSet<const DataModel*> m_reported;
};
