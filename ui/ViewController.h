#pragma once

#include "BatchRun.h"
#include "CreditService.h"
#include "DataModel.h"
#include "ImageQueue.h"
#include "LaunchSequence.h"
#include "OutputOptions.h"
#include "VersionCheck.h"
#include "WindowState.h"

#include <QMainWindow>
#include <QStringList>
#include <functional>
#include <memory>

struct AppContext;
class BatchJournal;
class BatchSession;
class Button;
class SplitButton;
class ColorSwatch;
class DesktopIntegration;
class MenuBar;
class RememberedChoices;
class RunProgressPanel;
class DragDropView;
class ElidedLabel;
class GetStartView;
class ImageListView;
class ImagePreview;
class QColorDialog;
class QComboBox;
class QFrame;
class QLabel;
class ServiceSession;
class SheetVC;
class ThumbnailCache;

// The application's window. It owns the queue, the run and the output choices, shows their state
// in its controls and forwards the user's actions to them; the rules live in those objects.
// Every control carries its outlet name as its object name.
class ViewController final : public QMainWindow {
    Q_OBJECT
public:
    // Asks the user for images (folders == false) or for a folder; an empty list when cancelled.
    using PathChooser = std::function<QStringList(bool folders)>;

    ViewController(AppContext& context, ServiceSession& session, BatchSession& batch,
                   QWidget* parent = nullptr);
    ~ViewController() override;

    BatchSession& batch() { return m_batch; }
    ImageQueue& queue() { return *m_queue; }
    WindowState& windowState() { return *m_window; }
    OutputOptions& options() { return *m_options; }
    BatchRun& run() { return *m_run; }
    CreditService& credits() { return *m_credits; }
    VersionCheck& version() { return *m_version; }
    LaunchSequence& launch() { return *m_launch; }
    ThumbnailCache& thumbnails() { return *m_thumbnails; }
    ImageListView* list() const { return m_tblList; }
    DragDropView* dragView() const { return m_dragView; }
    // Created on first use; nullptr before.
    SheetVC* sheet() const { return m_sheet; }
    ImagePreview* preview() const { return m_preview; }
    QColorDialog* colorPanel() const { return m_colorPanel; }
    GetStartView* getStartView() const { return m_viewGetStart; }
    MenuBar* menus() const { return m_menuBar; }
    RunProgressPanel* progressPanel() const { return m_progressPanel; }
    DesktopIntegration& desktop() { return *m_desktop; }
    RememberedChoices& remembered() { return *m_remembered; }

    void setPathChooser(PathChooser chooser) { m_choosePaths = std::move(chooser); }
    BatchJournal* journal() const;
    // The run as START would start it now: the stored key, folder and number in flight, and
    // the choices shown.
    RunConfig runConfig() const;

    // The window's actions.
    void chooseImage();
    void chooseFolder();
    void settings();
    void refresh();
    void getStart();
    void startUpload();
    void clearList();
    void previewRecord(const std::shared_ptr<DataModel>& record);
    void presentSheet();
    void closeColorPanel();
    // Opens the output folder in the file manager.
    void openOutputFolder();
    // Shows a row's saved result in its folder.
    void showInFolder(const std::shared_ptr<DataModel>& record);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // Rows whose result for the current options is already in the output folder show as done.
    void showAlreadySaved();
    // "12 to send · 8 already saved · 43 credits left", while no run is under way.
    void updateCostLine();
    void buildView();
    QWidget* buildHeader();
    QWidget* buildContent();
    QWidget* buildFooter();
    void setUpControls();
    void setUpShortcuts();
    void showGetStart();
    void openColorPanel();
    void renderState();
    void renderOptions();
    QStringList defaultChoosePaths(bool folders);
    // Remembered choices, the menu bar and the desktop's notifications and dock progress.
    void setUpDesktop();
    // Background, colour, format and window geometry as the user left them.
    void restoreRemembered();

    AppContext& m_context;
    ServiceSession& m_session;
    BatchSession& m_batch;
    WindowState* m_window;
    OutputOptions* m_options;
    ImageQueue* m_queue;
    CreditService* m_credits;
    VersionCheck* m_version;
    BatchRun* m_run;
    LaunchSequence* m_launch;
    std::unique_ptr<ThumbnailCache> m_thumbnails;
    PathChooser m_choosePaths;
    std::unique_ptr<RememberedChoices> m_remembered;
    QString m_startTitle;    // the title START was last drawn with
    bool m_quitNow = false;  // the user chose to quit during a run

    // Outlets.
    QWidget* m_root = nullptr;
    QWidget* m_mainColumn = nullptr;  // everything under the get-start screen
    DragDropView* m_dragView = nullptr;
    QLabel* m_imageView = nullptr;
    ImageListView* m_tblList = nullptr;
    QFrame* m_contentScroll = nullptr;
    QFrame* m_headerView = nullptr;
    QFrame* m_bottomView = nullptr;
    QFrame* m_footerView = nullptr;
    Button* m_btnStart = nullptr;
    Button* m_btnClearList = nullptr;
    Button* m_btnRetryFailed = nullptr;  // shown while failed images may be sent again
    int m_retriableFailed = 0;           // failed rows "Retry Failed" would send again
    ElidedLabel* m_lblCost = nullptr;    // before START: what a run will send and cost
    QTimer* m_savedCheck = nullptr;      // looks for results already saved, once per turn
    QTimer* m_costCheck = nullptr;
    ElidedLabel* m_lblRemainCredit = nullptr;
    QLabel* m_lblUploadCount = nullptr;
    GetStartView* m_viewGetStart = nullptr;
    SplitButton* m_btnAdd = nullptr;
    Button* m_btnSettings = nullptr;
    Button* m_btnRefresh = nullptr;
    Button* m_btnTransparent = nullptr;
    Button* m_btnColored = nullptr;
    Button* m_btnColor = nullptr;
    QLabel* m_imgTransparent = nullptr;
    QLabel* m_imgColored = nullptr;
    QFrame* m_dropperBoc = nullptr;
    ColorSwatch* m_dropperView = nullptr;
    QComboBox* m_btnOutputType = nullptr;

    SheetVC* m_sheet = nullptr;
    ImagePreview* m_preview = nullptr;
    QColorDialog* m_colorPanel = nullptr;
    QString m_colorBeforePanel;  // the colour the panel opened with, for its Cancel
    Button* m_btnOpenFolder = nullptr;
    RunProgressPanel* m_progressPanel = nullptr;
    MenuBar* m_menuBar = nullptr;
    DesktopIntegration* m_desktop = nullptr;
};
