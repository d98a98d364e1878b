#pragma once

#include <QObject>
#include <QString>
#include <memory>

struct AppContext;
class BatchJournal;
class BatchRun;
class CreditService;
class ImageQueue;
class LaunchSequence;
class OutputOptions;
class PaidLedger;
class ServiceSession;
class VersionCheck;
class WindowState;

// One batch and everything that works on it, built once by the program (the window's or the
// command line's) and handed to its front end: the queue, the run, the credits, the version
// check, the launch sequence, the journal that keeps the queue on disk and the ledger of paid
// results shared with every other Vorpane of the user.
class BatchSession final : public QObject {
    Q_OBJECT
public:
    BatchSession(AppContext& context, ServiceSession& session, QObject* parent = nullptr);
    ~BatchSession() override;

    WindowState& window() { return *m_window; }
    OutputOptions& options() { return *m_options; }
    ImageQueue& queue() { return *m_queue; }
    CreditService& credits() { return *m_credits; }
    VersionCheck& version() { return *m_version; }
    BatchRun& run() { return *m_run; }
    LaunchSequence& launch() { return *m_launch; }
    BatchJournal* journal() const { return m_journal.get(); }
    PaidLedger* ledger() const { return m_ledger.get(); }

    // Keeps the queue in the journal at `path` from now on, after putting back the unfinished
    // batch it holds; the ledger of paid results lives in the same database. Returns the number
    // of rows put back.
    int keepJournal(const QString& path);
    // Uses the ledger of paid results at `path` (the journal's database). False, with the
    // reason in `error`, when it cannot be opened.
    bool useLedger(const QString& path, QString* error = nullptr);

private:
    AppContext& m_context;
    std::unique_ptr<WindowState> m_window;
    std::unique_ptr<OutputOptions> m_options;
    std::unique_ptr<ImageQueue> m_queue;
    std::unique_ptr<CreditService> m_credits;
    std::unique_ptr<VersionCheck> m_version;
    std::unique_ptr<BatchRun> m_run;
    std::unique_ptr<LaunchSequence> m_launch;
    std::unique_ptr<PaidLedger> m_ledger;
    std::unique_ptr<BatchJournal> m_journal;  // goes first: it follows the queue
};
