#include "MenuBar.h"

#include "ViewController.h"

#include <QAbstractButton>
#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>

#ifndef VORPANE_VERSION
#define VORPANE_VERSION "0"
#endif

namespace {
// Enabled (its ancestors too) and not hidden: what a click on it needs.
bool canPress(const QAbstractButton* button, const QWidget* window) {
    return button && button->isEnabled() && button->isVisibleTo(window);
}
}  // namespace

MenuBar::MenuBar(ViewController& window) : QObject(&window), m_window(window) {
    QMenuBar* bar = window.menuBar();
    bar->setObjectName(QStringLiteral("menuBar"));

    m_file = bar->addMenu(tr("&File"));
    m_file->addAction(existing("actionAddImages"));
    m_file->addAction(existing("actionAddFolder"));
    m_file->addSeparator();
    m_file->addAction(pressing(tr("Open Output Folder"), "actionOpenFolder", "btnOpenFolder"));
    QAction* settings = pressing(tr("Settings…"), "actionSettings", "btnSettings");
    settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    settings->setMenuRole(QAction::PreferencesRole);
    m_file->addAction(settings);
    m_file->addSeparator();
    QAction* quit = m_file->addAction(tr("Quit"));
    quit->setObjectName(QStringLiteral("actionQuit"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit->setMenuRole(QAction::QuitRole);
    connect(quit, &QAction::triggered, &window, &QWidget::close);

    m_edit = bar->addMenu(tr("&Edit"));
    m_edit->addAction(existing("actionDelete"));
    m_edit->addAction(pressing(tr("Retry Failed"), "actionRetryFailed", "btnRetryFailed"));
    m_clearList = pressing(tr("Clear List"), "actionClearList", "btnClearList");
    m_edit->addAction(m_clearList);

    m_run = bar->addMenu(tr("&Run"));
    QAction* start = existing("actionStart");
    start->setText(tr("Start / Stop"));
    m_run->addAction(start);

    m_help = bar->addMenu(tr("&Help"));
    QAction* keys = m_help->addAction(tr("Keyboard Shortcuts"));
    keys->setObjectName(QStringLiteral("actionShortcuts"));
    keys->setShortcut(QKeySequence::HelpContents);
    connect(keys, &QAction::triggered, this, &MenuBar::showShortcuts);
    QAction* about = m_help->addAction(tr("About Vorpane"));
    about->setObjectName(QStringLiteral("actionAbout"));
    about->setMenuRole(QAction::AboutRole);
    connect(about, &QAction::triggered, this, &MenuBar::showAbout);

    for (QMenu* menu : {m_file, m_edit, m_run, m_help})
        connect(menu, &QMenu::aboutToShow, this, &MenuBar::updateEnabled);
    // Shortcuts of actions that live only in the menus work with the menus closed.
    window.addActions({settings, quit, m_clearList, keys});
}

QAction* MenuBar::existing(const char* objectName) const {
    auto* action = m_window.findChild<QAction*>(QLatin1String(objectName));
    if (!action) qFatal("the window has no action %s", objectName);
    return action;
}

QAction* MenuBar::pressing(const QString& text, const char* objectName, const char* buttonName) {
    auto* button = m_window.findChild<QAbstractButton*>(QLatin1String(buttonName));
    if (!button) qFatal("the window has no button %s", buttonName);
    auto* action = new QAction(text, this);
    action->setObjectName(QLatin1String(objectName));
    connect(action, &QAction::triggered, button, [this, button] {
        if (canPress(button, &m_window)) button->click();
    });
    m_pressing.append({action, button});
    return action;
}

void MenuBar::updateEnabled() {
    for (const auto& [action, button] : std::as_const(m_pressing))
        action->setEnabled(canPress(button, &m_window));
}

void MenuBar::addEditAction(QAction* action) {
    m_edit->insertAction(m_clearList, action);
}

QList<QAction*> MenuBar::actions() const {
    QList<QAction*> all;
    for (QMenu* menu : {m_file, m_edit, m_run, m_help})
        for (QAction* action : menu->actions())
            if (!action->isSeparator()) all.append(action);
    return all;
}

void MenuBar::showShortcuts() {
    const QString row = QStringLiteral(
        "<tr><td>%1</td><td style='padding-left: 24px'><b>%2</b>"
        "</td></tr>");
    QStringList rows;
    for (QAction* action : actions())
        if (!action->shortcut().isEmpty())
            rows << row.arg(action->text().remove(QLatin1Char('&')).toHtmlEscaped(),
                            action->shortcut().toString(QKeySequence::NativeText).toHtmlEscaped());
    rows << QStringLiteral("<tr><td colspan='2' style='padding-top: 12px'><b>%1</b></td></tr>")
                .arg(tr("In the review window").toHtmlEscaped());
    const QList<QPair<QString, QString>> review{
        {tr("Zoom"), tr("Wheel, Ctrl++, Ctrl+-")},
        {tr("Fit / 100 %"), tr("Ctrl+0 / Ctrl+1")},
        {tr("See the photo before"), tr("Hold Space")},
        {tr("Previous / next result"), tr("Left / Right")},
    };
    for (const auto& [what, keys] : review)
        rows << row.arg(what.toHtmlEscaped(), keys.toHtmlEscaped());
    if (m_dialog) m_dialog->close();
    m_dialog = new QMessageBox(QMessageBox::NoIcon, tr("Keyboard Shortcuts"),
                               QStringLiteral("<h3>%1</h3><table cellspacing='0' cellpadding='3' "
                                              "style='margin-right: 16px'>%2</table>")
                                   .arg(tr("Keyboard Shortcuts"), rows.join(QString())),
                               QMessageBox::Close, &m_window);
    m_dialog->setObjectName(QStringLiteral("shortcutsDialog"));
    m_dialog->setAttribute(Qt::WA_DeleteOnClose);
    m_dialog->setTextFormat(Qt::RichText);
    m_dialog->setContentsMargins(12, 8, 12, 4);
    m_dialog->open();
}

QString MenuBar::aboutText() {
    return tr("<h3>Vorpane %1</h3>"
              "<p>Removes the backgrounds of photos in batches.</p>"
              "<p>Built with Qt %2, under the GNU LGPL 3.0. The local service uses OpenCV "
              "(Apache License 2.0), SQLite (public domain) and cpp-httplib (MIT License). "
              "QtKeychain is under the BSD 3-Clause License.</p>")
        .arg(QStringLiteral(VORPANE_VERSION), QString::fromLatin1(qVersion()));
}

void MenuBar::showAbout() {
    if (m_dialog) m_dialog->close();
    m_dialog = new QMessageBox(QMessageBox::NoIcon, tr("About Vorpane"), aboutText(),
                               QMessageBox::Close, &m_window);
    m_dialog->setObjectName(QStringLiteral("aboutDialog"));
    m_dialog->setAttribute(Qt::WA_DeleteOnClose);
    m_dialog->setTextFormat(Qt::RichText);
    m_dialog->setIconPixmap(QIcon(QStringLiteral(":/icons/vorpane.svg")).pixmap(64, 64));
    m_dialog->open();
}
