#include "ViewController.h"

#include "AlertPresenter.h"
#include "AppContext.h"
#include "BatchJournal.h"
#include "BatchSession.h"
#include "Button.h"
#include "ColorSwatch.h"
#include "CreditRecord.h"
#include "DesktopIntegration.h"
#include "DragDropView.h"
#include "ElidedLabel.h"
#include "GetStartView.h"
#include "ImageListView.h"
#include "ImagePreview.h"
#include "MenuBar.h"
#include "Notifier.h"
#include "RememberedChoices.h"
#include "RunProgressPanel.h"
#include "SettingsStore.h"
#include "SheetVC.h"
#include "ThumbnailCache.h"
#include "UiResources.h"
#include "UserDetailsModel.h"
#include "ViewHelpers.h"

#include <QAction>
#include <QCloseEvent>
#include <QColorDialog>
#include <QShowEvent>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPointer>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>

namespace {

const QColor kRootBackground(230, 230, 230);
const QColor kBarGrey = QColor::fromRgbF(0.9583078f, 0.9583078f, 0.9583078f);
const QColor kBottomBar(238, 241, 249);
const QColor kSystemBlue(0, 122, 255);
// Dark enough that an enabled CLEAR LIST does not pass for a disabled one.
const QColor kLightGrey(0x6b, 0x76, 0x88);

void fillBackground(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, color);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

QFont boldFont(const QWidget* widget, int pixelSize) {
    QFont font = widget->font();
    font.setBold(true);
    font.setPixelSize(pixelSize);
    return font;
}

const QString kToolButtonStyle = QStringLiteral(
    "QPushButton { background: #ffffff; border: 1px solid #cfd6e2; border-radius: 6px;"
    " padding: 6px 12px; color: #1f2a3d; font-weight: 600; }"
    "QPushButton:hover { background: #f0f4fb; }"
    "QPushButton:pressed { background: #e3eaf6; }"
    "QPushButton:focus { border: 1px solid #1a73e8; }"
    "QPushButton::menu-indicator { subcontrol-position: right center; right: 8px; }");

const QString kOptionStyle = QStringLiteral(
    "QPushButton { border: 1px solid transparent; border-radius: 6px; background: transparent;"
    " padding: 0; }"
    "QPushButton:hover { background: rgba(0, 0, 0, 0.05); }"
    "QPushButton:focus { border: 1px solid #1a73e8; }");

// A flat button holding a radio mark and its text; the mark is the outlet `mark`.
Button* makeOption(const QString& objectName, const QString& text, const QString& markName,
                   QLabel** mark, QWidget* parent) {
    auto* button = new Button(parent);
    button->setObjectName(objectName);
    button->setAccessibleName(text);
    button->setAccessibleDescription(QObject::tr("Background of the results"));
    button->setToolTip(QObject::tr("%1 background").arg(text));
    button->setStyleSheet(kOptionStyle);
    auto* image = new QLabel(button);
    image->setObjectName(markName);
    image->setFixedSize(18, 18);
    image->setAttribute(Qt::WA_TransparentForMouseEvents);
    auto* label = new QLabel(text, button);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    label->setAttribute(Qt::WA_TransparentForMouseEvents);
    auto* layout = new QHBoxLayout(button);
    layout->setContentsMargins(8, 5, 10, 5);
    layout->setSpacing(6);
    layout->addWidget(image);
    layout->addWidget(label);
    // A push button sizes itself by its own title, which is empty here.
    button->setMinimumSize(layout->sizeHint().expandedTo(QSize(0, 34)));
    *mark = image;
    return button;
}

void showMark(QLabel* mark, bool selected) {
    const QString name = selected ? QStringLiteral("radio") : QStringLiteral("empty");
    if (mark->property("mark").toString() == name) return;
    mark->setProperty("mark", name);
    mark->setPixmap(iconPixmap(QStringLiteral(":/icons/%1.svg").arg(name), 18, mark));
    mark->setAccessibleName(selected ? QObject::tr("selected") : QObject::tr("not selected"));
}

}  // namespace

ViewController::ViewController(AppContext& context, ServiceSession& session, BatchSession& batch,
                               QWidget* parent)
    : QMainWindow(parent),
      m_context(context),
      m_session(session),
      m_batch(batch),
      m_window(&batch.window()),
      m_options(&batch.options()),
      m_queue(&batch.queue()),
      m_credits(&batch.credits()),
      m_version(&batch.version()),
      m_run(&batch.run()),
      m_launch(&batch.launch()),
      m_thumbnails(std::make_unique<ThumbnailCache>()),
      m_remembered(std::make_unique<RememberedChoices>(context.settings, *m_options)) {
    initVorpaneUiResources();
    setObjectName(QStringLiteral("ViewController"));
    buildView();
    setUpControls();

    // What the window shows follows the logic.
    m_window->apply([this](WindowState::Controls& c) { c.creditText = m_credits->displayText(); });
    connect(m_window, &WindowState::changed, this, &ViewController::renderState);
    connect(m_credits, &CreditService::displayTextChanged, this, [this](const QString& text) {
        m_window->apply([&text](WindowState::Controls& c) { c.creditText = text; });
    });
    connect(m_options, &OutputOptions::changed, this, &ViewController::renderOptions);
    // After a finished run, other options make START useful again.
    connect(m_options, &OutputOptions::changed, this, [this] {
        if (m_run->runState() != RunState::Finished) return;
        const bool again = m_run->canRunAgain(runConfig()) || m_run->retriableFailedCount() > 0;
        m_window->apply([again](WindowState::Controls& c) { c.btnStartEnabled = again; });
    });
    connect(m_options, &OutputOptions::colorPanelOpenRequested, this,
            &ViewController::openColorPanel);
    connect(m_options, &OutputOptions::colorPanelCloseRequested, this,
            &ViewController::closeColorPanel);
    connect(m_run, &BatchRun::colorPanelCloseRequested, this, &ViewController::closeColorPanel);
    connect(m_run, &BatchRun::settingsSheetRequested, this, &ViewController::presentSheet);
    connect(m_run, &BatchRun::retriableFailedChanged, this, [this](int count) {
        m_retriableFailed = count;
        renderState();
    });
    connect(m_run, &BatchRun::runStateChanged, this, &ViewController::renderState);
    renderState();
    renderOptions();

    // The list, the drop target, the title and the credit notification.
    m_dragView->setQueue(m_queue);
    connect(m_tblList, &ImageListView::previewRequested, this, &ViewController::previewRecord);
    connect(m_tblList, &ImageListView::retryRequested, this,
            [this](const DataModelPtr& record) { m_run->retryFailed(runConfig(), record); });
    connect(m_tblList, &ImageListView::sendAgainRequested, this,
            [this](const DataModelPtr& record) {
                m_run->sendAgain(record);
                updateCostLine();
            });
    // What is already saved is looked up when photos are added or the options change; the
    // cost line follows the rows and the credits.
    m_savedCheck = new QTimer(this);
    m_savedCheck->setSingleShot(true);
    connect(m_savedCheck, &QTimer::timeout, this, &ViewController::showAlreadySaved);
    m_costCheck = new QTimer(this);
    m_costCheck->setSingleShot(true);
    connect(m_costCheck, &QTimer::timeout, this, &ViewController::updateCostLine);
    auto checkSaved = [this] { m_savedCheck->start(0); };
    connect(m_queue, &ImageQueue::rowInserted, this, checkSaved);
    connect(m_queue, &ImageQueue::rowsReset, this, checkSaved);
    connect(m_options, &OutputOptions::changed, this, checkSaved);
    connect(m_run, &BatchRun::ended, this, checkSaved);
    auto checkCost = [this] { m_costCheck->start(0); };
    connect(m_queue, &ImageQueue::rowChanged, this, checkCost);
    connect(m_queue, &ImageQueue::rowRemoved, this, checkCost);
    connect(m_window, &WindowState::changed, this, checkCost);
    setWindowTitle(QStringLiteral("Vorpane"));
    connect(&m_context.notifier, &Notifier::updateCredit, m_credits,
            &CreditService::getCreditDetails);

    setUpDesktop();
    // The launch, once the key has been read from where it is kept: the first-launch wipe, the
    // get-start screen while no key is stored, the choices remembered (after the wipe, which
    // clears them), and the version check that decides whether the credits are fetched.
    m_context.settings.whenKeyReady([self = QPointer<ViewController>(this)] {
        if (!self) return;
        if (self->m_launch->prepare()) self->showGetStart();
        self->restoreRemembered();
        self->m_launch->checkVersion();
    });
}

BatchJournal* ViewController::journal() const {
    return m_batch.journal();
}

RunConfig ViewController::runConfig() const {
    return RunConfig::fromSettings(m_context.settings, *m_options);
}

ViewController::~ViewController() {
    // The widgets go first: they refer to the logic objects below.
    m_tblList->viewport()->removeEventFilter(this);
    m_tblList = nullptr;
    delete takeCentralWidget();
}

void ViewController::buildView() {
    setWindowIcon(QIcon(QStringLiteral(":/icons/vorpane.svg")));
    resize(980, 640);
    setMinimumSize(960, 480);

    m_root = new QWidget(this);
    m_root->setObjectName(QStringLiteral("rootView"));
    fillBackground(m_root, kRootBackground);
    auto* stack = new QGridLayout(m_root);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);

    auto* column = new QWidget(m_root);
    column->setObjectName(QStringLiteral("mainColumn"));
    m_mainColumn = column;
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(buildHeader());
    layout->addWidget(buildContent(), 1);
    layout->addWidget(buildFooter());
    stack->addWidget(column, 0, 0);
    setCentralWidget(m_root);

    // Reading order: the header left to right, the list, then the bottom bar left to right.
    const QList<QWidget*> tabOrder{m_btnAdd,        m_btnSettings,    m_btnOpenFolder, m_btnRefresh,
                                   m_tblList,       m_btnTransparent, m_btnColored,    m_btnColor,
                                   m_btnOutputType, m_btnRetryFailed, m_btnClearList,  m_btnStart};
    for (int i = 1; i < tabOrder.size(); ++i) setTabOrder(tabOrder[i - 1], tabOrder[i]);
    setUpShortcuts();
}

QWidget* ViewController::buildHeader() {
    m_headerView = new QFrame(m_root);
    m_headerView->setObjectName(QStringLiteral("headerView"));
    m_headerView->setFixedHeight(56);

    m_btnAdd = new SplitButton(tr("Add Images"), m_headerView);
    m_btnAdd->setObjectName(QStringLiteral("btnAdd"));
    m_btnAdd->setIcon(QIcon(QStringLiteral(":/icons/add.svg")));
    m_btnAdd->setIconSize(QSize(16, 16));
    m_btnAdd->setStyleSheet(kToolButtonStyle +
                            QStringLiteral("QPushButton { padding-right: 26px; }"));
    m_btnAdd->setAccessibleName(tr("Add Images"));
    m_btnAdd->setToolTip(tr("Add images; the arrow also adds a folder (Alt+Down)"));
    connect(m_btnAdd, &QPushButton::clicked, this, &ViewController::chooseImage);

    m_btnSettings = new Button(tr("Settings"), m_headerView);
    m_btnSettings->setObjectName(QStringLiteral("btnSettings"));
    m_btnSettings->setIcon(QIcon(QStringLiteral(":/icons/settings.svg")));
    m_btnSettings->setIconSize(QSize(16, 16));
    m_btnSettings->setStyleSheet(kToolButtonStyle);
    m_btnSettings->setAccessibleName(tr("Settings"));
    connect(m_btnSettings, &QPushButton::clicked, this, &ViewController::settings);

    m_btnOpenFolder = new Button(tr("Open Folder"), m_headerView);
    m_btnOpenFolder->setObjectName(QStringLiteral("btnOpenFolder"));
    m_btnOpenFolder->setIcon(QIcon(QStringLiteral(":/icons/folder.svg")));
    m_btnOpenFolder->setIconSize(QSize(16, 16));
    m_btnOpenFolder->setStyleSheet(kToolButtonStyle);
    m_btnOpenFolder->setAccessibleName(tr("Open the output folder"));
    m_btnOpenFolder->setToolTip(tr("Open the output folder"));
    connect(m_btnOpenFolder, &QPushButton::clicked, this, &ViewController::openOutputFolder);

    // On a narrow window the balances give way from the left; the total stays, the whole line
    // shows on hover.
    m_lblRemainCredit = new ElidedLabel(Qt::ElideLeft, m_headerView);
    m_lblRemainCredit->setObjectName(QStringLiteral("lblRemainCredit"));
    m_lblRemainCredit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_lblRemainCredit->setTextInteractionFlags(Qt::NoTextInteraction);  // not editable
    m_lblRemainCredit->setStyleSheet(QStringLiteral("color: #3c4043; font-size: 13px;"));
    m_lblRemainCredit->setAccessibleName(tr("Remaining credits"));

    m_btnRefresh = new Button(m_headerView);
    m_btnRefresh->setObjectName(QStringLiteral("btnRefresh"));
    m_btnRefresh->setIcon(QIcon(QStringLiteral(":/icons/refresh.svg")));
    m_btnRefresh->setIconSize(QSize(18, 18));
    m_btnRefresh->setFixedSize(34, 34);
    m_btnRefresh->setStyleSheet(kToolButtonStyle + QStringLiteral("QPushButton { padding: 0; }"));
    m_btnRefresh->setToolTip(tr("Refresh credits"));
    m_btnRefresh->setAccessibleName(tr("Refresh credits"));
    connect(m_btnRefresh, &QPushButton::clicked, this, &ViewController::refresh);

    auto* layout = new QHBoxLayout(m_headerView);
    layout->setContentsMargins(16, 0, 16, 0);
    layout->setSpacing(10);
    layout->addWidget(m_btnAdd);
    layout->addWidget(m_btnSettings);
    layout->addWidget(m_btnOpenFolder);
    layout->addWidget(m_lblRemainCredit, 1);
    layout->addWidget(m_btnRefresh);
    return m_headerView;
}

QWidget* ViewController::buildContent() {
    auto* content = new QWidget(m_root);
    content->setObjectName(QStringLiteral("contentView"));

    m_contentScroll = new QFrame(content);
    m_contentScroll->setObjectName(QStringLiteral("contentScroll"));
    m_contentScroll->setStyleSheet(
        QStringLiteral("QFrame#contentScroll { background: #ffffff; border: 1px solid #d3d8e0; "
                       "border-radius: 8px; }"));
    m_tblList = new ImageListView(*m_queue, *m_thumbnails, m_contentScroll);
    m_tblList->setObjectName(QStringLiteral("tblList"));
    m_tblList->setStyleSheet(QStringLiteral(
        "QTableView { background: transparent; border: none; }"
        "QHeaderView::section { background: #f7f8fa; color: #5f6b7a; border: none;"
        " border-bottom: 1px solid #e3e6eb; padding: 6px 10px; font-weight: 600; }"));
    m_tblList->viewport()->setAcceptDrops(true);
    m_tblList->viewport()->installEventFilter(this);
    auto* scrollLayout = new QVBoxLayout(m_contentScroll);
    scrollLayout->setContentsMargins(1, 1, 1, 1);
    scrollLayout->addWidget(m_tblList);

    m_dragView = new DragDropView(content);
    m_imageView = new QLabel(m_dragView);
    m_imageView->setObjectName(QStringLiteral("imageView"));
    m_imageView->setPixmap(iconPixmap(QStringLiteral(":/icons/placeholder.svg"), 150, this));
    m_imageView->setAlignment(Qt::AlignCenter);
    m_imageView->setAccessibleName(tr("No images yet"));
    m_dragView->setPlaceholder(m_imageView);

    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(16, 16, 16, 14);
    layout->setSpacing(10);
    layout->addWidget(m_contentScroll, 1);
    m_progressPanel = new RunProgressPanel(*m_queue, *m_run, content);
    layout->addWidget(m_progressPanel);
    // On its own line above START: the bar beside it holds the count and three buttons.
    m_lblCost = new ElidedLabel(Qt::ElideRight, content);  // whole on hover
    m_lblCost->setObjectName(QStringLiteral("lblCost"));
    m_lblCost->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_lblCost->setStyleSheet(QStringLiteral("color: #3c4043;"));
    m_lblCost->setVisible(false);
    layout->addWidget(m_lblCost);
    layout->addWidget(m_dragView);
    return content;
}

QWidget* ViewController::buildFooter() {
    m_footerView = new QFrame(m_root);
    m_footerView->setObjectName(QStringLiteral("footerView"));
    m_footerView->setFixedHeight(68);

    m_btnTransparent =
        makeOption(QStringLiteral("btnTransparent"), tr("Transparent"),
                   QStringLiteral("imgTransparent"), &m_imgTransparent, m_footerView);
    m_btnColored = makeOption(QStringLiteral("btnColored"), tr("Colored"),
                              QStringLiteral("imgColored"), &m_imgColored, m_footerView);
    connect(m_btnTransparent, &QPushButton::clicked, m_options, &OutputOptions::chooseTransparent);
    connect(m_btnColored, &QPushButton::clicked, m_options, &OutputOptions::chooseColored);

    m_btnColor = new Button(m_footerView);
    m_btnColor->setObjectName(QStringLiteral("btnColor"));
    m_btnColor->setAccessibleName(tr("Choose the background color"));
    m_btnColor->setToolTip(tr("Choose the background color"));
    m_btnColor->setFixedSize(44, 34);
    m_btnColor->setStyleSheet(kOptionStyle);
    m_dropperBoc = new QFrame(m_btnColor);
    m_dropperBoc->setObjectName(QStringLiteral("dropperBoc"));
    m_dropperBoc->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_dropperBoc->setStyleSheet(
        QStringLiteral("QFrame#dropperBoc { background: #ffffff; border: 1px solid #aab3c2; "
                       "border-radius: 5px; }"));
    m_dropperView = new ColorSwatch(m_dropperBoc);
    m_dropperView->setObjectName(QStringLiteral("dropperView"));
    auto* boxLayout = new QVBoxLayout(m_dropperBoc);
    boxLayout->setContentsMargins(3, 3, 3, 3);
    boxLayout->addWidget(m_dropperView);
    auto* colorLayout = new QVBoxLayout(m_btnColor);
    colorLayout->setContentsMargins(5, 4, 5, 4);
    colorLayout->addWidget(m_dropperBoc);
    connect(m_btnColor, &QPushButton::clicked, m_options, &OutputOptions::setColor);

    auto* separator = new QFrame(m_footerView);
    separator->setFrameShape(QFrame::VLine);
    separator->setStyleSheet(QStringLiteral("color: #d3d8e0;"));
    auto* format = new QLabel(tr("Format"), m_footerView);
    format->setStyleSheet(QStringLiteral("color: #5f6b7a;"));
    format->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_btnOutputType = new QComboBox(m_footerView);
    m_btnOutputType->setObjectName(QStringLiteral("btnOutputType"));
    m_btnOutputType->addItems({QStringLiteral("PNG"), QStringLiteral("JPG")});
    m_btnOutputType->setAccessibleName(tr("Output format"));
    m_btnOutputType->setMinimumWidth(76);
    format->setBuddy(m_btnOutputType);
    connect(m_btnOutputType, &QComboBox::currentTextChanged, m_options,
            &OutputOptions::chooseOption);

    m_bottomView = new QFrame(m_footerView);
    m_bottomView->setObjectName(QStringLiteral("BottomView"));
    m_bottomView->setFixedHeight(50);
    m_lblUploadCount = new QLabel(m_bottomView);
    m_lblUploadCount->setObjectName(QStringLiteral("lblUploadCount"));
    m_lblUploadCount->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_lblUploadCount->setStyleSheet(QStringLiteral("color: #1f2a3d; font-weight: 600;"));
    m_btnClearList = new Button(m_bottomView);
    m_btnClearList->setObjectName(QStringLiteral("btnClearList"));
    m_btnClearList->setMinimumSize(128, 36);
    m_btnClearList->setAccessibleName(QStringLiteral("CLEAR LIST"));
    connect(m_btnClearList, &QPushButton::clicked, this, &ViewController::clearList);
    m_btnRetryFailed = new Button(m_bottomView);
    m_btnRetryFailed->setObjectName(QStringLiteral("btnRetryFailed"));
    m_btnRetryFailed->setMinimumSize(128, 36);
    m_btnRetryFailed->setAccessibleName(tr("Retry Failed"));
    m_btnRetryFailed->setVisible(false);
    connect(m_btnRetryFailed, &QPushButton::clicked, this,
            [this] { m_run->retryFailed(runConfig()); });
    m_btnStart = new Button(m_bottomView);
    m_btnStart->setObjectName(QStringLiteral("btnStart"));
    m_btnStart->setMinimumSize(110, 36);
    connect(m_btnStart, &QPushButton::clicked, this, &ViewController::startUpload);
    auto* bottomLayout = new QHBoxLayout(m_bottomView);
    bottomLayout->setContentsMargins(12, 6, 8, 6);
    bottomLayout->setSpacing(10);
    bottomLayout->addWidget(m_lblUploadCount);
    bottomLayout->addWidget(m_btnRetryFailed);
    bottomLayout->addWidget(m_btnClearList);
    bottomLayout->addWidget(m_btnStart);

    auto* layout = new QHBoxLayout(m_footerView);
    layout->setContentsMargins(10, 0, 10, 0);
    layout->setSpacing(6);
    layout->addWidget(m_btnTransparent);
    layout->addWidget(m_btnColored);
    layout->addWidget(m_btnColor);
    layout->addSpacing(6);
    layout->addWidget(separator);
    layout->addSpacing(6);
    layout->addWidget(format);
    layout->addWidget(m_btnOutputType);
    layout->addStretch(1);
    layout->addWidget(m_bottomView, 0, Qt::AlignVCenter);
    return m_footerView;
}

void ViewController::setUpControls() {
    fillBackground(m_headerView, kBarGrey);
    applyShadow(m_root, m_headerView, Qt::black, 0.3f, QPointF(0, 0.2), 2);
    fillBackground(m_footerView, kBarGrey);
    applyShadow(m_root, m_footerView, Qt::black, 0.3f, QPointF(0.2, 0), 2);
    m_bottomView->setStyleSheet(
        QStringLiteral("QFrame#BottomView { background: %1; border-radius: 8px; }")
            .arg(kBottomBar.name()));

    m_startTitle = QStringLiteral("START");
    applyButtonStyle(m_btnStart, m_startTitle, boldFont(m_btnStart, 16), Qt::white, kSystemBlue,
                     false, true);
    m_btnStart->setAccessibleName(m_startTitle);
    applyButtonStyle(m_btnClearList, QStringLiteral("CLEAR LIST"), boldFont(m_btnClearList, 16),
                     Qt::white, kLightGrey, false, true);
    applyButtonStyle(m_btnRetryFailed, tr("Retry Failed"), boldFont(m_btnRetryFailed, 16),
                     Qt::white, QColor(0xc5, 0x22, 0x1f), false, true);
    applyShadow(m_bottomView, m_btnStart, Qt::black, 1.0f, QPointF(0, 2), 2);
    applyShadow(m_bottomView, m_btnClearList, Qt::black, 1.0f, QPointF(0, 2), 2);
}

void ViewController::setUpShortcuts() {
    auto* addImages = new QAction(tr("Add Images…"), this);
    addImages->setObjectName(QStringLiteral("actionAddImages"));
    addImages->setShortcut(QKeySequence::Open);
    connect(addImages, &QAction::triggered, this, &ViewController::chooseImage);
    auto* addFolder = new QAction(tr("Add Folder…"), this);
    addFolder->setObjectName(QStringLiteral("actionAddFolder"));
    addFolder->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
    connect(addFolder, &QAction::triggered, this, &ViewController::chooseFolder);
    auto* menu = new QMenu(m_btnAdd);
    menu->addAction(addImages);
    menu->addAction(addFolder);
    m_btnAdd->setDropDown(menu);

    auto* start = new QAction(tr("Start or Stop"), this);
    start->setObjectName(QStringLiteral("actionStart"));
    start->setShortcuts(
        {QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)});
    connect(start, &QAction::triggered, this, [this] {
        if (!m_viewGetStart && m_btnStart->isVisible() && m_btnStart->isEnabled())
            m_btnStart->click();
    });
    auto* remove = new QAction(tr("Delete"), this);
    remove->setObjectName(QStringLiteral("actionDelete"));
    remove->setShortcut(QKeySequence::Delete);
    connect(remove, &QAction::triggered, this, [this] {
        if (!m_viewGetStart) m_tblList->deleteTargetRow();
    });
    addActions({addImages, addFolder, start, remove});
}

void ViewController::renderState() {
    const WindowState::Controls& c = m_window->controls();
    m_dragView->setVisible(c.dragViewVisible);
    m_imageView->setVisible(c.imageViewVisible);
    m_contentScroll->setVisible(c.contentScrollVisible);
    m_bottomView->setVisible(c.bottomViewVisible);
    m_lblRemainCredit->setVisible(c.lblRemainCreditVisible);
    m_lblRemainCredit->setFullText(c.creditText);
    m_lblUploadCount->setVisible(c.lblUploadCountVisible);
    m_lblUploadCount->setText(c.lblUploadCountText);
    m_lblUploadCount->setAccessibleName(c.lblUploadCountText);
    if (c.btnStartTitle != m_startTitle) {
        m_startTitle = c.btnStartTitle;
        applyButtonStyle(m_btnStart, m_startTitle, boldFont(m_btnStart, 16), Qt::white, kSystemBlue,
                         false, true);
        m_btnStart->setAccessibleName(m_startTitle);
    }
    m_btnStart->setEnabled(c.btnStartEnabled);
    m_btnAdd->setEnabled(c.btnAddEnabled);
    m_btnClearList->setEnabled(c.btnClearListEnabled);
    // The count as the run last reported it: counting the rows here would walk the whole list
    // on every change of the window during a run.
    const int retriable = m_retriableFailed;
    const bool idle = !m_run->isRunning() && m_run->runState() != RunState::Checking;
    m_btnRetryFailed->setVisible(idle && retriable > 0);
    m_btnRetryFailed->setToolTip(retriable == 1
                                     ? tr("Send the failed image again")
                                     : tr("Send the %1 failed images again").arg(retriable));
}

void ViewController::renderOptions() {
    const OutputOptions& o = *m_options;
    showMark(m_imgTransparent, !o.isColored);
    showMark(m_imgColored, o.isColored);
    m_btnTransparent->setEnabled(o.transparentEnabled);
    // Coloured with no colour yet is not transparent: the swatch says "none" until one is picked.
    m_dropperView->setColor(o.isColored && o.selectedColor.isEmpty() ? QColor() : o.swatchColor);
    m_btnColor->setAccessibleDescription(o.selectedColor.isEmpty() ? tr("No color chosen")
                                                                   : o.selectedColor);
    m_btnColor->setToolTip(o.isColored && o.selectedColor.isEmpty()
                               ? tr("No color chosen yet: click to choose the background color")
                               : tr("Choose the background color"));
    const QString format =
        o.imgFormat == QLatin1String("png") ? QStringLiteral("PNG") : QStringLiteral("JPG");
    if (m_btnOutputType->currentText() != format) {
        const QSignalBlocker block(m_btnOutputType);
        m_btnOutputType->setCurrentText(format);
    }
}

void ViewController::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // The keyboard starts where the work does: adding images (or Get Started, which takes it).
    if (!event->spontaneous() && !m_viewGetStart && m_btnAdd->isVisible())
        m_btnAdd->setFocus(Qt::OtherFocusReason);
}

void ViewController::showGetStart() {
    m_btnAdd->hide();
    m_btnSettings->hide();
    m_viewGetStart = new GetStartView(m_root);
    static_cast<QGridLayout*>(m_root->layout())->addWidget(m_viewGetStart, 0, 0);
    m_viewGetStart->raise();
    // The controls underneath take neither clicks nor the keyboard while it is shown.
    m_mainColumn->setEnabled(false);
    connect(m_viewGetStart->btnGetStart(), &QPushButton::clicked, this, &ViewController::getStart);
    m_viewGetStart->btnGetStart()->setFocus();
    m_viewGetStart->fadeIn();
}

void ViewController::getStart() {
    if (!m_viewGetStart || !m_viewGetStart->btnGetStart()->isEnabled()) return;
    m_viewGetStart->btnGetStart()->setEnabled(false);
    m_viewGetStart->fadeOut([this] {
        m_viewGetStart->hide();
        m_viewGetStart->deleteLater();
        m_viewGetStart = nullptr;
        m_mainColumn->setEnabled(true);
        m_launch->leaveGetStart();
        m_btnAdd->show();
        m_btnSettings->show();
        presentSheet();
    });
}

void ViewController::settings() {
    QTimer::singleShot(0, this, &ViewController::presentSheet);
}

void ViewController::presentSheet() {
    if (!m_sheet) {
        m_sheet = new SheetVC(m_context, m_session, this);
        // Another output folder may hold other results.
        connect(m_sheet, &QDialog::finished, this, [this] { m_savedCheck->start(0); });
    }
    m_sheet->present();
}

void ViewController::refresh() {
    m_credits->getCreditDetails();
}

void ViewController::startUpload() {
    if (m_run->runState() == RunState::Running) return m_run->stop();
    if (m_run->isBusy()) return;
    const RunConfig config = runConfig();
    m_run->markAlreadySaved(config);
    // Fewer credits than photos: the run would stop at the credit alert; asked first instead.
    const UserDetailsModel credits = m_context.credits.snapshot();
    const qint64 toSend = m_queue->count() - m_queue->handledCount();
    if (credits.hasBalances() && credits.creditTotal() > 0 && credits.creditTotal() < toSend) {
        SheetAlert alert;
        alert.messageText =
            credits.creditTotal() == 1
                ? tr("1 credit for %1 photos: the first will be processed. Start?").arg(toSend)
                : tr("%1 credits for %2 photos: the first %1 will be processed. Start?")
                      .arg(credits.creditTotal())
                      .arg(toSend);
        alert.buttons = QStringList{tr("Start"), tr("Cancel")};
        m_context.alerts.showSheetAlert(alert, [self = QPointer<ViewController>(this)](int button) {
            if (self && button == 0) self->m_run->start(self->runConfig());
        });
        return;
    }
    m_run->start(config);
}

void ViewController::showAlreadySaved() {
    if (m_run->isBusy()) return;
    m_run->markAlreadySaved(runConfig());
    updateCostLine();
}

void ViewController::updateCostLine() {
    const bool idle = !m_run->isBusy() && m_queue->count() > 0;
    int toSend = 0;
    int saved = 0;
    bool savedBefore = false;  // by an earlier run: worth saying even with nothing to send
    if (idle)
        for (int i = 0; i < m_queue->count(); ++i) {
            const DataModelPtr record = m_queue->at(i);
            if (record->status == RowStatus::Done)
                ++saved;
            else if (!record->isHandled())
                ++toSend;
            savedBefore = savedBefore || record->alreadySaved;
        }
    QStringList parts;
    if (toSend == 0 && !savedBefore) saved = 0;  // a finished run's summary says it already
    if (toSend > 0) parts.append(tr("%n to send", nullptr, toSend));
    if (saved > 0) parts.append(tr("%n already saved", nullptr, saved));
    const UserDetailsModel credits = m_context.credits.snapshot();
    if (!parts.isEmpty() && credits.hasBalances())
        parts.append(credits.creditTotal() == 1 ? tr("1 credit left")
                                                : tr("%1 credits left").arg(credits.creditTotal()));
    m_lblCost->setFullText(parts.join(QStringLiteral(" \u00b7 ")));
    m_lblCost->setVisible(idle && !parts.isEmpty());
}

void ViewController::clearList() {
    int unsent = 0;
    for (int i = 0; i < m_queue->count(); ++i) unsent += m_queue->at(i)->isHandled() ? 0 : 1;
    if (unsent == 0) return m_queue->clearList();
    // Rows not sent yet are work the user would have to add again.
    SheetAlert alert;
    alert.messageText = tr("Clear the list?");
    alert.informativeText = unsent == 1 ? tr("1 image has not been sent yet.")
                                        : tr("%1 images have not been sent yet.").arg(unsent);
    alert.buttons = QStringList{tr("Clear List"), tr("Cancel")};
    m_context.alerts.showSheetAlert(alert, [self = QPointer<ViewController>(this)](int button) {
        if (button == 0 && self) self->m_queue->clearList();
    });
}

void ViewController::chooseImage() {
    if (m_viewGetStart || !m_window->controls().btnAddEnabled) return;
    const QStringList paths = m_choosePaths ? m_choosePaths(false) : defaultChoosePaths(false);
    m_remembered->rememberAdded(paths, false);
    if (!paths.isEmpty()) m_queue->admitPaths(paths, /*dropped*/ false);
}

void ViewController::chooseFolder() {
    if (m_viewGetStart || !m_window->controls().btnAddEnabled) return;
    const QStringList paths = m_choosePaths ? m_choosePaths(true) : defaultChoosePaths(true);
    m_remembered->rememberAdded(paths, true);
    if (!paths.isEmpty()) m_queue->admitPaths(paths, /*dropped*/ false);
}

QStringList ViewController::defaultChoosePaths(bool folders) {
    QFileDialog dialog(this, folders ? tr("Add a Folder") : tr("Add Images"));
    // The same dialog on every desktop, with the accept button titled "Select".
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    const QString lastFolder = m_remembered->lastAddFolder();
    dialog.setDirectory(lastFolder.isEmpty() ? QDir::homePath() : lastFolder);
    dialog.setLabelText(QFileDialog::Accept, tr("Select"));
    if (folders) {
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly);
    } else {
        dialog.setFileMode(QFileDialog::ExistingFiles);
        dialog.setNameFilter(QStringLiteral("Images (*.jpg *.jpeg *.png)"));
    }
    if (dialog.exec() != QDialog::Accepted) return {};
    return dialog.selectedFiles();
}

void ViewController::previewRecord(const std::shared_ptr<DataModel>& record) {
    if (!record) return;
    const int row = m_queue->indexOf(record.get());
    if (row >= 0) m_queue->outputIndex = row;
    // A row shows its own saved result; a row without one opens nothing. Left and Right walk
    // the done rows in list order.
    if (record->outputFile.isEmpty() || record->status != RowStatus::Done) return;
    QList<ImagePreview::Item> items;
    int index = -1;
    for (int i = 0; i < m_queue->count(); ++i) {
        const DataModelPtr r = m_queue->at(i);
        if (r->status != RowStatus::Done || r->outputFile.isEmpty()) continue;
        if (r == record) index = static_cast<int>(items.size());
        items.append({r->outputFile, r->imageURl.value_or(QString())});
    }
    if (!m_preview) m_preview = new ImagePreview(this);
    m_preview->setChosenColor(
        m_options->selectedColor.isEmpty() ? QColor() : QColor(m_options->selectedColor));
    m_preview->open(items, index);
}

void ViewController::openColorPanel() {
    if (!m_colorPanel) {
        m_colorPanel = new QColorDialog(QColor(Qt::white), this);
        m_colorPanel->setObjectName(QStringLiteral("colorPanel"));
        m_colorPanel->setWindowTitle(tr("Background Color"));
        // A background is opaque: no alpha to offer. The colour shows live; Cancel takes it back.
        m_colorPanel->setOptions(QColorDialog::DontUseNativeDialog);
        m_colorPanel->setModal(false);
        connect(m_colorPanel, &QColorDialog::currentColorChanged, m_options,
                &OutputOptions::colorDidChange);
        connect(m_colorPanel, &QDialog::finished, this, [this](int result) {
            m_options->colorPanelDone(result == QDialog::Accepted, m_colorBeforePanel);
        });
    }
    m_colorBeforePanel = m_options->selectedColor;
    {
        // It opens on the colour in use (white before any), whatever a Cancel left in it.
        const QSignalBlocker block(m_colorPanel);
        m_colorPanel->setCurrentColor(m_options->selectedColor.isEmpty() ? QColor(Qt::white)
                                                                         : m_options->swatchColor);
    }
    m_colorPanel->show();
    m_colorPanel->raise();
    m_colorPanel->activateWindow();
}

void ViewController::closeColorPanel() {
    // Put away by the window (the colour control, a format, quitting): the colour stays.
    if (m_colorPanel) m_colorPanel->hide();
}

bool ViewController::eventFilter(QObject* watched, QEvent* event) {
    // Drops on the list go to the drop target, as long as it is shown.
    if (m_tblList && watched == m_tblList->viewport()) {
        switch (event->type()) {
            case QEvent::DragEnter: {
                auto* e = static_cast<QDragEnterEvent*>(event);
                if (m_dragView->isVisible() && m_dragView->enter(e->mimeData())) {
                    e->setDropAction(Qt::CopyAction);
                    e->accept();
                } else {
                    e->ignore();
                }
                return true;
            }
            case QEvent::DragMove: {
                auto* e = static_cast<QDragMoveEvent*>(event);
                if (m_dragView->isVisible() && m_dragView->fileTypeIsOk()) {
                    e->setDropAction(Qt::CopyAction);
                    e->accept();
                } else {
                    e->ignore();
                }
                return true;
            }
            case QEvent::DragLeave:
                m_dragView->leave();
                return true;
            case QEvent::Drop: {
                auto* e = static_cast<QDropEvent*>(event);
                if (m_dragView->isVisible() && m_dragView->drop(e->mimeData())) {
                    e->setDropAction(Qt::CopyAction);
                    e->accept();
                } else {
                    e->ignore();
                }
                return true;
            }
            default:
                break;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void ViewController::restoreRemembered() {
    // After the first-launch wipe, which clears what was remembered.
    m_remembered->restore();
    const QByteArray geometry = m_remembered->windowGeometry();
    if (!geometry.isEmpty()) restoreGeometry(geometry);
}

void ViewController::setUpDesktop() {
    m_menuBar = new MenuBar(*this);
    m_desktop = new DesktopIntegration(m_context.opener, this);
    connect(m_tblList, &ImageListView::showInFolderRequested, this, &ViewController::showInFolder);
    connect(m_progressPanel, &RunProgressPanel::progressChanged, m_desktop,
            &DesktopIntegration::setLauncherProgress);
    connect(m_progressPanel, &RunProgressPanel::runEnded, this,
            [this](RunState state, const RunProgress::Counts& counts) {
                // Only when the user is looking elsewhere.
                if (!isActiveWindow())
                    m_desktop->notifyRunEnded(state, counts,
                                              m_context.settings.resolvedOutputFolder());
            });
    connect(m_run, &BatchRun::ended, this, [this](const RunEnd& end) {
        if (end.kind != RunEnd::Kind::OutOfCredit || isActiveWindow()) return;
        m_desktop->notify(tr("Batch stopped: no credit left"),
                          tr("%1 of %2 done. Recharge, then press START to continue.")
                              .arg(m_queue->doneCount())
                              .arg(m_queue->count()),
                          m_context.settings.resolvedOutputFolder());
    });
}

void ViewController::openOutputFolder() {
    QString error;
    const QString folder = m_context.settings.prepareOutputFolder(&error);
    if (folder.isEmpty()) {
        m_context.alerts.showAlert(error);
        return;
    }
    if (!m_desktop->openFolder(folder))
        m_context.alerts.showAlert(tr("No file manager could open %1.").arg(folder));
}

void ViewController::showInFolder(const std::shared_ptr<DataModel>& record) {
    if (!record || record->outputFile.isEmpty()) return;
    if (!m_desktop->showInFolder(record->outputFile))
        m_context.alerts.showAlert(
            tr("No file manager could open %1.").arg(QFileInfo(record->outputFile).absolutePath()));
}

void ViewController::closeEvent(QCloseEvent* event) {
    if (m_run->isRunning() && !m_quitNow) {
        // Images on their way are paid for: the user chooses whether they are saved first.
        event->ignore();
        SheetAlert alert;
        alert.messageText = tr("Quit while images are being sent?");
        alert.informativeText =
            tr("The images on their way are paid for. Let them finish to save their results; "
               "nothing new is sent.");
        alert.buttons = QStringList{tr("Let Them Finish"), tr("Quit Now"), tr("Cancel")};
        m_context.alerts.showSheetAlert(alert, [self = QPointer<ViewController>(this)](int b) {
            if (!self || b < 0 || b > 1) return;
            self->m_quitNow = true;
            if (b == 1 || !self->m_run->isRunning()) {
                self->close();
                return;
            }
            connect(self->m_run, &BatchRun::ended, self, &QWidget::close, Qt::QueuedConnection);
            self->m_run->stop();
        });
        return;
    }
    m_remembered->setWindowGeometry(saveGeometry());
    QMainWindow::closeEvent(event);
}
