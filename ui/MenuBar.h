#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

class QAbstractButton;
class QAction;
class QMenu;
#include <QMessageBox>
class ViewController;

// The window's menu bar: File, Edit, Run and Help. Every action that has a button does what the
// button does, through the button, so the two cannot drift apart; an action is enabled exactly
// when its button can be pressed.
class MenuBar final : public QObject {
    Q_OBJECT
public:
    explicit MenuBar(ViewController& window);

    QMenu* fileMenu() const { return m_file; }
    QMenu* editMenu() const { return m_edit; }
    QMenu* runMenu() const { return m_run; }
    QMenu* helpMenu() const { return m_help; }
    // Adds an action to the Edit menu, above "Clear List".
    void addEditAction(QAction* action);
    // Every action of every menu, in menu order.
    QList<QAction*> actions() const;

    void showShortcuts();
    void showAbout();
    // The help dialog shown last (shortcuts or about), or nullptr.
    QMessageBox* helpDialog() const { return m_dialog; }

    static QString aboutText();

private:
    QAction* existing(const char* objectName) const;
    // A new action that presses `button` (found by object name) while it can be pressed.
    QAction* pressing(const QString& text, const char* objectName, const char* buttonName);
    void updateEnabled();

    ViewController& m_window;
    QMenu* m_file;
    QMenu* m_edit;
    QMenu* m_run;
    QMenu* m_help;
    QAction* m_clearList = nullptr;
    QList<QPair<QAction*, QAbstractButton*>> m_pressing;
    QPointer<QMessageBox> m_dialog;
};
