#include "SheetVC.h"

#include "AlertPresenter.h"
#include "AppContext.h"
#include "KeyVerifier.h"
#include "ServiceSession.h"
#include "SettingsStore.h"
#include "UrlOpener.h"
#include "UserDefaultKeys.h"
#include "ViewHelpers.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QStackedLayout>
#include <QStyle>
#include <QTextBoundaryFinder>
#include <QVBoxLayout>
#include <algorithm>

// The button images are compiled into the ui library; a static library needs its resources
// registered by name before first use.
static void initSheetResources() {
    Q_INIT_RESOURCE(sheet);
}

namespace {

// The sheet's background and the footer bar, and the action buttons' text colour.
const QColor kSheetBackground = QColor::fromRgbF(230.0f / 255.0f, 230.0f / 255.0f, 230.0f / 255.0f);
const QColor kFooterBackground = QColor::fromRgbF(0.9583078f, 0.9583078f, 0.9583078f);
const QColor kActionText = QColor::fromRgbF(38.0f / 255.0f, 38.0f / 255.0f, 38.0f / 255.0f);
// The light grey of the key fields' border, and the link blue of the Show/Hide button.
const QColor kLightGrey = QColor::fromRgbF(2.0f / 3.0f, 2.0f / 3.0f, 2.0f / 3.0f);
const QColor kLinkBlue(0x1a, 0x62, 0xd6);
constexpr int kActionFontPixels = 15;
constexpr int kShowFontPixelsFirst = 11;
constexpr int kShowFontPixels = 12;

QFont titleBarFont(int pixelSize) {
    QFont font = QApplication::font();
    font.setPixelSize(pixelSize);
    font.setBold(true);
    return font;
}

QPalette withBackground(QPalette palette, const QColor& color) {
    palette.setColor(QPalette::Window, color);
    return palette;
}

std::optional<QString> chooseFolderWithDialog(QWidget* parent, const QString& startFolder) {
    QFileDialog dialog(parent, SheetVC::tr("Choose the output folder"), startFolder);
    dialog.setWindowModality(Qt::WindowModal);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Select"));
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList chosen = dialog.selectedFiles();
    return chosen.isEmpty() ? QString(QLatin1String("")) : chosen.first();
}

QPushButton* makeButton(QWidget* parent, const char* objectName, const QString& accessibleName) {
    auto* button = new QPushButton(parent);
    button->setObjectName(QLatin1String(objectName));
    button->setAccessibleName(accessibleName);
    return button;
}

QLineEdit* makeKeyField(QWidget* parent, const char* objectName, QLineEdit::EchoMode mode,
                        const QString& accessibleName) {
    auto* field = new QLineEdit(parent);
    field->setObjectName(QLatin1String(objectName));
    field->setEchoMode(mode);
    field->setAccessibleName(accessibleName);
    field->setPlaceholderText(SheetVC::tr("API key"));
    // Wide enough for a whole key, masked or not, so that no dot is scrolled out of sight.
    const QChar dot(
        field->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, field));
    const QFontMetrics metrics(field->font());
    const int widest =
        std::max(metrics.horizontalAdvance(dot), metrics.horizontalAdvance(QLatin1Char('0')));
    field->setMinimumWidth(std::max(300, widest * (SheetVC::kMaxKeyLength + 1) + 24));
    // No focus ring and no visible border; rounded corners on the white field.
    field->setStyleSheet(QStringLiteral("QLineEdit { border: 0px solid %1; border-radius: 5px; "
                                        "background: white; padding: 5px 8px; }")
                             .arg(kLightGrey.name()));
    field->setAttribute(Qt::WA_MacShowFocusRect, false);
    return field;
}

}  // namespace

SheetVC::SheetVC(AppContext& context, ServiceSession& session, QWidget* parent)
    : QDialog(parent),
      m_context(context),
      m_session(session),
      m_verifier(new KeyVerifier(context, session, this)) {
    static const bool resourcesReady = (initSheetResources(), true);
    Q_UNUSED(resourcesReady);

    setObjectName(QStringLiteral("SheetVC"));
    setWindowTitle(tr("Settings"));
    // A window-modal sheet: no frame of its own, it hangs from the top of its window (which it
    // dims) and follows it. Escape and Cancel dismiss it.
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setWindowModality(Qt::WindowModal);
    if (parent) {
        QWidget* window = parent->window();
        window->installEventFilter(this);
        m_scrim = new QWidget(window);
        m_scrim->setObjectName(QStringLiteral("sheetScrim"));
        m_scrim->setAttribute(Qt::WA_StyledBackground);
        m_scrim->setStyleSheet(QStringLiteral("background: rgba(20, 28, 40, 0.28);"));
        m_scrim->hide();
    }
    m_chooseFolder = [this](const QString& start) { return chooseFolderWithDialog(this, start); };

    buildView();

    connect(m_txtApiKey, &QLineEdit::textEdited, this, [this] { keyTextEdited(m_txtApiKey); });
    connect(m_txtShowPass, &QLineEdit::textEdited, this, [this] { keyTextEdited(m_txtShowPass); });
    connect(m_btnShow, &QPushButton::clicked, this, &SheetVC::showHideKey);
    connect(m_btnSave, &QPushButton::clicked, this, &SheetVC::save);
    connect(m_btnCancel, &QPushButton::clicked, this, &SheetVC::reject);
    connect(m_btnGetKey, &QPushButton::clicked, this, &SheetVC::getApiKey);
    connect(m_btnSelectFolder, &QPushButton::clicked, this, &SheetVC::selectFolder);
    connect(m_btnOutput, &QPushButton::clicked, this, &SheetVC::openOutputFolder);
    connect(m_btnCaFile, &QPushButton::clicked, this, &SheetVC::chooseCaFile);
    connect(m_verifier, &KeyVerifier::dismissRequested, this, &SheetVC::accept);
    // Save waits for the service's answer; then the key field, when that is what needs fixing.
    connect(m_verifier, &KeyVerifier::replyHandled, this, [this] {
        m_btnSave->setEnabled(true);
        QWidget* focus = m_keyRejected ? m_keyStack->currentWidget() : m_btnSave;
        focus->setFocus(Qt::OtherFocusReason);
        if (auto* field = qobject_cast<QLineEdit*>(focus)) field->selectAll();
        m_keyRejected = false;
    });
    connect(m_verifier, &KeyVerifier::keyRejected, this, [this] { m_keyRejected = true; });
}

SheetVC::~SheetVC() = default;

void SheetVC::buildView() {
    setAutoFillBackground(true);
    setPalette(withBackground(palette(), kSheetBackground));

    auto* content = new QWidget(this);
    auto* grid = new QGridLayout(content);
    grid->setContentsMargins(22, 20, 22, 16);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(14);

    // The key: masked and clear fields in the same place, one shown at a time.
    m_txtApiKey = makeKeyField(content, "txtApiKey", QLineEdit::Password, tr("API key"));
    m_txtShowPass =
        makeKeyField(content, "txtShowPass", QLineEdit::Normal, tr("API key, shown in clear"));
    auto* keyHolder = new QWidget(content);
    m_keyStack = new QStackedLayout(keyHolder);
    m_keyStack->setContentsMargins(0, 0, 0, 0);
    m_keyStack->addWidget(m_txtApiKey);
    m_keyStack->addWidget(m_txtShowPass);
    m_keyStack->setCurrentWidget(m_txtApiKey);

    m_btnShow = makeButton(content, "btnShow", tr("Show the API key"));
    m_btnShow->setAutoDefault(false);
    styleShowButton(QStringLiteral("Show"), kShowFontPixelsFirst);

    auto* keyCaption = new QLabel(tr("API Key"), content);
    keyCaption->setBuddy(m_txtApiKey);

    m_lblFolderName = new QLabel(content);
    m_lblFolderName->setObjectName(QStringLiteral("lblFolderName"));
    m_lblFolderName->setAccessibleName(tr("Output folder"));
    m_lblFolderName->setTextFormat(Qt::PlainText);
    m_lblFolderName->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // A long path is clipped rather than widening the sheet; the tooltip shows all of it.
    m_lblFolderName->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_lblFolderName->setMinimumWidth(200);
    auto* folderCaption = new QLabel(tr("Output Folder"), content);

    m_btnOutput = makeButton(content, "btnOutput", tr("Open the output folder"));
    m_btnOutput->setAutoDefault(false);
    m_btnOutput->setText(tr("Open Folder"));
    m_btnOutput->setToolTip(tr("Open the output folder in the file manager"));

    m_lblVersion = new QLabel(content);
    m_lblVersion->setObjectName(QStringLiteral("lblVersion"));
    m_lblVersion->setAccessibleName(tr("Application version"));
    m_lblVersion->setTextFormat(Qt::PlainText);
    m_lblVersion->setText(QStringLiteral("version : ") + m_context.settings.appVersion());

    grid->addWidget(keyCaption, 0, 0);
    grid->addWidget(keyHolder, 0, 1);
    grid->addWidget(m_btnShow, 0, 2);
    grid->addWidget(folderCaption, 1, 0);
    grid->addWidget(m_lblFolderName, 1, 1);
    grid->addWidget(m_btnOutput, 1, 2);
    // How many images a run keeps in flight: more finish a batch sooner on a service that takes
    // its time over each image.
    auto* jobsCaption = new QLabel(tr("Images at a time"), content);
    m_spnImagesAtATime = new QSpinBox(content);
    m_spnImagesAtATime->setObjectName(QStringLiteral("spnImagesAtATime"));
    m_spnImagesAtATime->setRange(1, SettingsStore::kMaxImagesAtATime);
    m_spnImagesAtATime->setAccessibleName(tr("Images at a time"));
    m_spnImagesAtATime->setToolTip(tr("How many images are sent to the service at once"));
    jobsCaption->setBuddy(m_spnImagesAtATime);
    grid->addWidget(jobsCaption, 2, 0);
    grid->addWidget(m_spnImagesAtATime, 2, 1, Qt::AlignLeft);
    // Results are named after their photos; the service's own names are kept for anyone whose
    // catalogue relies on them.
    auto* namesCaption = new QLabel(tr("Name results after"), content);
    m_cmbResultNames = new QComboBox(content);
    m_cmbResultNames->setObjectName(QStringLiteral("cmbResultNames"));
    m_cmbResultNames->addItem(tr("the photo"), QStringLiteral("photo"));
    m_cmbResultNames->addItem(tr("the service's result"), QStringLiteral("service"));
    m_cmbResultNames->setAccessibleName(tr("Name results after"));
    m_cmbResultNames->setToolTip(
        tr("\"vorpane_output_\" + the photo's name, or + the name the service gives its result"));
    namesCaption->setBuddy(m_cmbResultNames);
    grid->addWidget(namesCaption, 3, 0);
    grid->addWidget(m_cmbResultNames, 3, 1, Qt::AlignLeft);
    // A self-hosted service's own certificate authority, trusted beside the system's.
    auto* caCaption = new QLabel(tr("Certificate authority"), content);
    m_txtCaFile = new QLineEdit(content);
    m_txtCaFile->setObjectName(QStringLiteral("txtCaFile"));
    m_txtCaFile->setAccessibleName(tr("Certificate authority file"));
    m_txtCaFile->setPlaceholderText(tr("Only the system's (a PEM file for a service of your own)"));
    m_txtCaFile->setClearButtonEnabled(true);
    caCaption->setBuddy(m_txtCaFile);
    m_btnCaFile = makeButton(content, "btnCaFile", tr("Choose a certificate authority file"));
    m_btnCaFile->setAutoDefault(false);
    m_btnCaFile->setText(tr("Choose..."));
    grid->addWidget(caCaption, 4, 0);
    grid->addWidget(m_txtCaFile, 4, 1);
    grid->addWidget(m_btnCaFile, 4, 2);
    grid->addWidget(m_lblVersion, 5, 0, 1, 3, Qt::AlignRight);
    grid->setColumnStretch(1, 1);

    // The footer bar with the four action buttons.
    m_footerView = new QFrame(this);
    m_footerView->setObjectName(QStringLiteral("footerView"));
    m_footerView->setAccessibleName(tr("Actions"));
    m_footerView->setAutoFillBackground(true);
    m_footerView->setPalette(withBackground(m_footerView->palette(), kFooterBackground));
    applyShadow(this, m_footerView, Qt::black, 0.3f, QPointF(0.2, 0), 2);

    m_btnGetKey =
        makeButton(m_footerView, "btnGetKey", tr("Get an API key from your account page"));
    m_btnSelectFolder = makeButton(m_footerView, "btnSelectFolder", tr("Change the output folder"));
    m_btnCancel = makeButton(m_footerView, "btnCancel", tr("Cancel"));
    m_btnSave = makeButton(m_footerView, "btnSave", tr("Save"));
    const QFont actionFont = titleBarFont(kActionFontPixels);
    const struct {
        QPushButton* button;
        const char* title;
        const char* image;
    } actions[] = {
        {m_btnSave, "Save", ":/sheet/save.svg"},
        {m_btnCancel, "Cancel", ":/sheet/cancel.svg"},
        {m_btnGetKey, "Get Key", ":/sheet/key1.svg"},
        {m_btnSelectFolder, "Change Folder", ":/sheet/files-and-folders.svg"},
    };
    for (const auto& action : actions) {
        applyButtonStyle(action.button, QLatin1String(action.title), actionFont, kActionText,
                         Qt::white, true, false, QIcon(QLatin1String(action.image)));
        action.button->setIconSize(QSize(16, 16));
        action.button->setMinimumHeight(32);
    }
    // Return anywhere in the sheet (the key fields included) presses Save.
    m_btnSave->setDefault(true);

    auto* footer = new QHBoxLayout(m_footerView);
    footer->setContentsMargins(16, 10, 16, 10);
    footer->setSpacing(10);
    footer->addWidget(m_btnGetKey);
    footer->addWidget(m_btnSelectFolder);
    footer->addStretch(1);
    footer->addWidget(m_btnCancel);
    footer->addWidget(m_btnSave);

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);
    // The sheet has no title bar: its heading says what it is.
    auto* heading = new QLabel(tr("Settings"), this);
    heading->setObjectName(QStringLiteral("lblSheetHeading"));
    heading->setStyleSheet(
        QStringLiteral("font-size: 15px; font-weight: 600; color: #1f2a3d;"
                       " padding: 16px 22px 0 22px;"));
    root->addWidget(heading);
    root->addWidget(content, 1);
    root->addWidget(m_footerView);

    setTabOrder(m_txtApiKey, m_txtShowPass);
    setTabOrder(m_txtShowPass, m_btnShow);
    setTabOrder(m_btnShow, m_btnOutput);
    setTabOrder(m_btnOutput, m_btnGetKey);
    setTabOrder(m_btnGetKey, m_btnSelectFolder);
    setTabOrder(m_btnSelectFolder, m_btnCancel);
    setTabOrder(m_btnCancel, m_btnSave);
}

void SheetVC::setFolderChooser(FolderChooser chooser) {
    m_chooseFolder = std::move(chooser);
}

void SheetVC::present() {
    if (!isVisible()) {
        refillFromSettings();
        setResult(0);
    }
    show();
    attachToWindow();
    raise();
    activateWindow();
    m_txtApiKey->setFocus(Qt::OtherFocusReason);
}

void SheetVC::attachToWindow() {
    QWidget* window = parentWidget() ? parentWidget()->window() : nullptr;
    if (!window) return;
    adjustSize();
    const QRect area = window->geometry();  // the client area, in screen coordinates
    // Below the menu bar, where there is one; the width of the sheet, at most the window's.
    int top = 0;
    if (QWidget* central = window->findChild<QWidget*>(QStringLiteral("mainColumn")))
        top = central->mapTo(window, QPoint(0, 0)).y();
    const int width = qMin(sizeHint().width(), area.width());
    resize(width, height());
    move(area.x() + (area.width() - width) / 2, area.y() + top);
    if (m_scrim) {
        m_scrim->setGeometry(window->rect());
        m_scrim->raise();
    }
}

void SheetVC::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (m_scrim) m_scrim->show();
    attachToWindow();
}

void SheetVC::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    // Without a frame of its own, an outline tells the sheet from the window under it.
    QPainter painter(this);
    painter.setPen(QColor(0x9a, 0xa4, 0xb2));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

bool SheetVC::eventFilter(QObject* watched, QEvent* event) {
    if (isVisible() && (event->type() == QEvent::Move || event->type() == QEvent::Resize))
        attachToWindow();
    return QDialog::eventFilter(watched, event);
}

void SheetVC::refillFromSettings() {
    const QString folder = m_context.settings.resolvedOutputFolder();
    m_lblFolderName->setText(folder);
    m_lblFolderName->setToolTip(folder);
    m_spnImagesAtATime->setValue(m_context.settings.imagesAtATime());
    m_cmbResultNames->setCurrentIndex(std::max(
        0, m_cmbResultNames->findData(m_context.settings.value(UserDefaultKeys::resultNames))));
    m_txtCaFile->setText(m_context.settings.string(UserDefaultKeys::caFile).value_or(QString()));
    const QString key = m_context.settings.apiKey();
    m_txtApiKey->setText(key);
    m_txtShowPass->setText(key);
    resetKeyFields();
    for (QLineEdit* field : {m_txtApiKey, m_txtShowPass}) field->setCursorPosition(0);
}

void SheetVC::hideEvent(QHideEvent* event) {
    QDialog::hideEvent(event);
    if (m_scrim && !event->spontaneous()) m_scrim->hide();
    // A dismissal, not the window system hiding the sheet with its parent.
    if (!event->spontaneous()) resetKeyFields();
}

void SheetVC::resetKeyFields() {
    m_keyStack->setCurrentWidget(m_txtApiKey);
    m_btnShow->setHidden(m_txtApiKey->text().isEmpty() && m_txtShowPass->text().isEmpty());
    styleShowButton(QStringLiteral("Show"), kShowFontPixels);
}

void SheetVC::styleShowButton(const QString& title, int pixelSize) {
    applyButtonStyle(m_btnShow, title, titleBarFont(pixelSize), kLinkBlue, Qt::transparent, false,
                     false);
    m_btnShow->setAccessibleName(title == QLatin1String("Show") ? tr("Show the API key")
                                                                : tr("Hide the API key"));
}

int SheetVC::graphemeCount(const QString& text) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int count = 0;
    while (finder.toNextBoundary() != -1) ++count;
    return count;
}

QString SheetVC::withoutLastGrapheme(const QString& text) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    finder.toEnd();
    const qsizetype start = finder.toPreviousBoundary();
    return start <= 0 ? QString() : text.left(start);
}

void SheetVC::keyTextEdited(QLineEdit* sender) {
    const QString text = sender->text();
    // Whichever field the user types into, the other one follows.
    m_btnShow->setHidden(text.isEmpty());
    if (sender != m_txtApiKey) m_txtApiKey->setText(text);
    if (sender != m_txtShowPass) m_txtShowPass->setText(text);

    if (graphemeCount(m_txtApiKey->text()) > kMaxKeyLength ||
        graphemeCount(m_txtShowPass->text()) > kMaxKeyLength) {
        for (QLineEdit* field : {m_txtApiKey, m_txtShowPass}) {
            const int cursor = field->cursorPosition();
            // A typed character is taken back; a pasted text is cut to the cap.
            QString shorter = field->text();
            while (graphemeCount(shorter) > kMaxKeyLength) shorter = withoutLastGrapheme(shorter);
            field->setText(shorter);
            field->setCursorPosition(qMin(cursor, static_cast<int>(shorter.size())));
        }
    }
}

void SheetVC::showHideKey() {
    if (m_keyStack->currentWidget() == m_txtApiKey) {
        m_txtShowPass->setText(m_txtApiKey->text());
        m_keyStack->setCurrentWidget(m_txtShowPass);
        m_txtShowPass->setFocus(Qt::OtherFocusReason);
        styleShowButton(QStringLiteral("Hide"), kShowFontPixels);
    } else {
        m_txtApiKey->setText(m_txtShowPass->text());
        m_keyStack->setCurrentWidget(m_txtApiKey);
        m_txtApiKey->setFocus(Qt::OtherFocusReason);
        styleShowButton(QStringLiteral("Show"), kShowFontPixels);
    }
}

void SheetVC::save() {
    // The key is verified over the connection this trust makes, so it comes first; a file that
    // cannot be used keeps the sheet open and nothing is saved.
    const QString caFile = m_txtCaFile->text().trimmed();
    QString why;
    if (!m_session.trustCaFile(ServiceSession::TrustSource::Setting, caFile, &why)) {
        m_context.alerts.showAlert(why.left(1).toUpper() + why.mid(1) + QLatin1Char('.'));
        return;
    }
    m_context.settings.setString(UserDefaultKeys::caFile,
                                 caFile.isEmpty() ? std::nullopt : std::optional<QString>(caFile));
    m_btnSave->setEnabled(false);
    m_context.settings.setValue(UserDefaultKeys::imagesAtATime, m_spnImagesAtATime->value());
    m_context.settings.setValue(UserDefaultKeys::resultNames, m_cmbResultNames->currentData());
    m_verifier->verifyAndSave(m_lblFolderName->text(), m_txtApiKey->text());
}

void SheetVC::getApiKey() {
    const QUrl page = m_context.service.accountPage();
    if (m_context.opener.openUrl(page)) return;
    // No browser: the address, to copy into one.
    SheetAlert alert;
    alert.messageText = tr("No web browser could be opened.");
    alert.informativeText = tr("Get your API key from your account page:\n%1").arg(page.toString());
    alert.buttons = QStringList{tr("Copy Address"), tr("Close")};
    m_context.alerts.showSheetAlert(alert, [page](int button) {
        if (button == 0) QGuiApplication::clipboard()->setText(page.toString());
    });
}

void SheetVC::selectFolder() {
    if (!isVisible() || !m_chooseFolder) return;
    const std::optional<QString> chosen = m_chooseFolder(m_lblFolderName->text());
    if (!chosen) return;
    m_lblFolderName->setText(*chosen);
    m_lblFolderName->setToolTip(*chosen);
    // Stored at once: Cancel in the sheet does not undo it.
    m_context.settings.setString(
        UserDefaultKeys::outputFolder,
        chosen->isEmpty() ? std::nullopt : std::optional<QString>(*chosen));
}

void SheetVC::chooseCaFile() {
    const QString chosen = QFileDialog::getOpenFileName(
        this, tr("Choose a certificate authority"),
        m_txtCaFile->text().isEmpty() ? QDir::homePath() : QFileInfo(m_txtCaFile->text()).path(),
        tr("PEM certificates (*.pem *.crt *.cer);;All files (*)"));
    if (!chosen.isEmpty()) m_txtCaFile->setText(chosen);
}

void SheetVC::openOutputFolder() {
    const QString folder = m_lblFolderName->text();
    if (!isVisible() || folder.isEmpty()) return;
    if (!QFileInfo(folder).isDir()) {
        m_context.alerts.showAlert(tr("The folder %1 does not exist.").arg(folder));
        return;
    }
    if (!m_context.opener.openUrl(QUrl::fromLocalFile(folder)))
        m_context.alerts.showAlert(tr("No file manager could open %1.").arg(folder));
}
