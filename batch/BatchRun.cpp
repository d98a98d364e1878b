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

#include <QPointer>
#include <QTimer>

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
}

RunState BatchRun::idleState() const {
    return m_queue.count() == 0 ? RunState::Empty : RunState::Ready;
}

void BatchRun::startUpload() {
    emit colorPanelCloseRequested();
    const QString title = m_window.controls().btnStartTitle;
    if (title == kStart) {
        // One check at a time, one image in flight at a time, and nothing to do when every
        // queued image was handled already.
        if (m_versionPending || m_inFlight || m_queue.counter >= m_queue.count()) return;
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
        // The image in flight is not cancelled; the run ends when its outcome arrives.
        m_window.apply([](WindowState::Controls& c) { c.btnStartEnabled = false; });
        m_queue.isStopTapped = true;
        if (m_state == RunState::Running) setState(RunState::Stopping);
    }
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

void BatchRun::beginUpload() {
    if (m_inFlight) return;
    auto giveUp = [this] {
        if (m_state == RunState::Checking) setState(idleState());
    };
    if (m_queue.counter >= m_queue.count()) {
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
    if (m_context.credits.snapshot().creditTotal() == 0) {
        giveUp();
        showActionAlert(QStringLiteral("Credit alert!"),
                        QStringLiteral("oops! You're out of credit."), QStringLiteral("Recharge"),
                        true);
        return;
    }
    if (m_options.isColored && m_options.selectedColor.isEmpty()) {
        giveUp();
        m_context.alerts.showAlert(kColourAlert);
        return;
    }
    m_queue.isStopTapped = false;
    m_window.apply([](WindowState::Controls& c) {
        c.btnStartTitle = kStop;
        c.btnStartEnabled = true;
    });
    setState(RunState::Running);
    uploadImage();
}

void BatchRun::uploadImage() {
    // The list is locked while an image is on its way.
    m_window.apply([](WindowState::Controls& c) { c.lockList(); });
    if (m_inFlight) return;
    const DataModelPtr record = m_queue.at(m_queue.counter);
    if (!record) {
        // Nothing left at `counter`: the run has nothing more to send.
        if (isRunning()) endFinished();
        return;
    }
    m_inFlight = record;
    setRow(record, RowStatus::InProgress, record->statusText);

    ImageUpload::Options options;
    options.imgFormat = m_options.imgFormat;
    options.isColored = m_options.isColored;
    options.selectedColor = m_options.selectedColor;
    m_upload->send(*record, options,
                   [self = QPointer<BatchRun>(this), record](const UploadOutcome& outcome) {
                       if (self) self->onUploadOutcome(record, outcome);
                   });
}

bool BatchRun::owns(const DataModelPtr& record) const {
    return m_inFlight == record && m_queue.indexOf(record.get()) >= 0;
}

void BatchRun::onUploadOutcome(const DataModelPtr& record, const UploadOutcome& outcome) {
    if (!owns(record)) {
        // The list was emptied while the image was on its way; the outcome has no row any more.
        if (m_inFlight == record) m_inFlight.reset();
        return;
    }
    switch (outcome.kind) {
        case UploadOutcome::Kind::Halted:
            halt(record);
            return;
        case UploadOutcome::Kind::Failed:
            setRow(record, RowStatus::Failed, outcome.text);
            advance(record);
            return;
        case UploadOutcome::Kind::Accepted:
            m_context.credits.replace(UserDetailsModel::fromJson(outcome.reply));
            m_credits.refreshDisplay();
            // The row stays in progress (and so cannot be deleted) until the result is saved.
            m_saver->save(outcome.resultUrl,
                          [self = QPointer<BatchRun>(this), record](const SaveOutcome& saved) {
                              if (self) self->onSaveOutcome(record, saved);
                          });
            return;
    }
}

void BatchRun::onSaveOutcome(const DataModelPtr& record, const SaveOutcome& outcome) {
    if (!owns(record)) {
        if (m_inFlight == record) m_inFlight.reset();
        return;
    }
    if (outcome.ok) {
        const QUrl file = QUrl::fromLocalFile(outcome.filePath);
        if (m_queue.arrUploadImages)
            m_queue.arrUploadImages->append(file);
        else
            m_queue.arrUploadImages = QList<QUrl>{file};
        record->outputFile = outcome.filePath;
        setRow(record, RowStatus::Done,
               QStringLiteral(" %1x%2").arg(outcome.size.width()).arg(outcome.size.height()));
    } else {
        setRow(record, RowStatus::Failed, outcome.text);
    }
    advance(record);
}

void BatchRun::setRow(const DataModelPtr& record, RowStatus status, const QString& text) {
    record->status = status;
    record->statusText = text;
    m_queue.notifyRowChanged(record.get());
}

void BatchRun::advance(const DataModelPtr& record) {
    if (m_inFlight == record) m_inFlight.reset();
    ++m_queue.counter;
    // On the next turn, so that a long series of refused images does not nest calls.
    QTimer::singleShot(0, this, [this] {
        if (isRunning()) uploadNextImage();
    });
}

void BatchRun::halt(const DataModelPtr& record) {
    m_inFlight.reset();
    setRow(record, RowStatus::FailedHalted, record->statusText);
    m_queue.updateUploadCount(m_queue.counter);
    m_credits.refreshDisplay();
    setState(RunState::Halted);
    m_context.alerts.showAlert(kHaltAlert);
    // The alert may have waited for the user; the list could have been cleared meanwhile.
    if (m_state != RunState::Halted) return;
    // The title stays "STOP"; clearing the list is the way on.
    m_window.apply([](WindowState::Controls& c) {
        c.dragViewVisible = false;
        c.btnStartEnabled = false;
        c.btnClearListEnabled = true;
    });
}

void BatchRun::uploadNextImage() {
    m_queue.updateUploadCount(m_queue.counter);
    const qint64 count = m_queue.count();
    if (m_queue.isStopTapped) {
        if (m_queue.arrTableData && m_queue.counter == count)
            endFinished();
        else
            endStopped();
        return;
    }
    if (!m_queue.arrTableData) return;
    if (m_queue.counter < count)
        uploadImage();
    else if (m_queue.counter == count)
        endFinished();
}

void BatchRun::endFinished() {
    m_window.apply([](WindowState::Controls& c) {
        c.unlockList();
        c.btnStartEnabled = false;
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
    // An image still on its way is forgotten: its outcome finds no row and is dropped.
    m_inFlight.reset();
    setState(RunState::Empty);
}

void BatchRun::onRowInserted() {
    if (m_state == RunState::Empty || m_state == RunState::Finished || m_state == RunState::Halted)
        setState(RunState::Ready);
}
