#pragma once

#include "DataModel.h"

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
class OutputOptions;
class ResultSaver;
class ServiceSession;
class VersionCheck;
class WindowState;

// Where the run stands; the window's START/STOP button and the list follow it.
enum class RunState {
    Empty,     // nothing queued
    Ready,     // images queued, no run in progress (also after a stop)
    Checking,  // START pressed; waiting for the version check
    Running,   // an image is being sent or its result saved
    Stopping,  // STOP pressed; the image in flight finishes, then the run ends
    Finished,  // every queued image was handled
    Halted,    // the exchange with the service broke down; the run stopped at that image
};

// Runs the queue through the service, one image at a time: START and STOP, the checks before a
// run, the upload of each image, the saving of its result, and the end of the run.
class BatchRun final : public QObject {
    Q_OBJECT
public:
    explicit BatchRun(AppContext& context, ServiceSession& session, ImageQueue& queue,
                      WindowState& window, CreditService& credits, VersionCheck& version,
                      OutputOptions& options, QObject* parent = nullptr);
    ~BatchRun() override;

    // The START / STOP button, by its current title.
    void startUpload();
    // The checks before a run (API key, credit, colour), then the first upload.
    void beginUpload();
    // After each image that advanced `counter`: the next upload, or the end of the run.
    void uploadNextImage();

    bool isRunning() const;
    RunState runState() const { return m_state; }
    // START was pressed and the version check has not answered yet.
    bool isVersionCheckPending() const { return m_versionPending; }
    // Caps the download of each result (the default is 50 MiB).
    void setMaxDownloadBytes(qint64 bytes);

    static inline const QString kHaltAlert = QStringLiteral("Oops! Something went wrong.");
    static inline const QString kColourAlert = QStringLiteral("Please choose a color to continue.");

signals:
    // "Got it" in the API key alert: the settings sheet opens.
    void settingsSheetRequested();
    // START closes the colour panel.
    void colorPanelCloseRequested();
    void runStateChanged(RunState state);

private:
    void showActionAlert(const QString& title, const QString& message, const QString& action,
                         bool recharge);
    // Locks the list and sends the record at `counter`.
    void uploadImage();
    void setState(RunState state);
    // Ready, or Empty when nothing is queued.
    RunState idleState() const;
    void onUploadOutcome(const DataModelPtr& record, const UploadOutcome& outcome);
    void onSaveOutcome(const DataModelPtr& record, const SaveOutcome& outcome);
    void setRow(const DataModelPtr& record, RowStatus status, const QString& text);
    // counter + 1, then the next image on the next turn of the event loop.
    void advance(const DataModelPtr& record);
    // Whether an outcome for this record still belongs to the current run.
    bool owns(const DataModelPtr& record) const;
    void halt(const DataModelPtr& record);
    void endFinished();
    void endStopped();
    void onQueueReset();
    void onRowInserted();

    AppContext& m_context;
    ImageQueue& m_queue;
    WindowState& m_window;
    CreditService& m_credits;
    VersionCheck& m_version;
    OutputOptions& m_options;
    ImageUpload* m_upload;
    ResultSaver* m_saver;

    RunState m_state = RunState::Empty;
    bool m_versionPending = false;
    DataModelPtr m_inFlight;  // the record being sent or saved
};
