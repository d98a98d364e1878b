#pragma once

#include <QObject>
#include <QString>

struct AppContext;
class CreditService;
class ImageQueue;
class OutputOptions;
class ServiceSession;
class VersionCheck;
class WindowState;

// Runs the queue through the service, one image at a time: START and STOP, the checks before a
// run, the upload of each image, the saving of its result, and the end of the run.
class BatchRun final : public QObject {
    Q_OBJECT
public:
    BatchRun(AppContext& context, ServiceSession& session, ImageQueue& queue, WindowState& window,
             CreditService& credits, VersionCheck& version, OutputOptions& options, QObject* parent = nullptr);

    // The START / STOP button, by its current title.
    void startUpload();
    // The checks before a run (API key, credit, colour), then the first upload.
    void beginUpload();
    // After each image that advanced `counter`: the next upload, or the end of the run.
    void uploadNextImage();

    bool isRunning() const;

signals:
    // "Got it" in the API key alert: the settings sheet opens.
    void settingsSheetRequested();
    // START closes the colour panel.
    void colorPanelCloseRequested();
};
