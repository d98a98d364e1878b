#include "BatchSession.h"

#include "AppContext.h"
#include "BatchJournal.h"
#include "BatchRun.h"
#include "CreditService.h"
#include "ImageQueue.h"
#include "LaunchSequence.h"
#include "OutputOptions.h"
#include "PaidLedger.h"
#include "VersionCheck.h"
#include "WindowState.h"

BatchSession::BatchSession(AppContext& context, ServiceSession& session, QObject* parent)
    : QObject(parent),
      m_context(context),
      m_window(std::make_unique<WindowState>()),
      m_options(std::make_unique<OutputOptions>()),
      m_queue(std::make_unique<ImageQueue>(context, *m_window)),
      m_credits(std::make_unique<CreditService>(context, session)),
      m_version(std::make_unique<VersionCheck>(context, session)),
      m_run(std::make_unique<BatchRun>(context, session, *m_queue, *m_window, *m_credits,
                                       *m_version)),
      m_launch(std::make_unique<LaunchSequence>(context, *m_version, *m_credits)) {}

BatchSession::~BatchSession() {
    m_journal.reset();  // it writes what is pending from the queue, which is still there
}

int BatchSession::keepJournal(const QString& path) {
    m_journal = std::make_unique<BatchJournal>(path);
    const int restored = m_journal->attach(*m_queue, m_context.alerts);
    m_journal->setPaidKeptElsewhere(useLedger(path));
    return restored;
}

bool BatchSession::useLedger(const QString& path, QString* error) {
    m_run->setLedger(nullptr);
    m_ledger = std::make_unique<PaidLedger>(path);
    if (!m_ledger->open()) {
        if (error) *error = m_ledger->error();
        m_ledger.reset();
        return false;
    }
    m_run->setLedger(m_ledger.get());
    return true;
}
