#include "WidgetAlertPresenter.h"

#include "ViewHelpers.h"

#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>

namespace {

// Keeps Escape from answering an alert: with a single button QMessageBox would press it.
class EscapeSwallower final : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride)
            return false;
        return static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape;
    }
};

}  // namespace

void WidgetAlertPresenter::showAlert(const QString& message) {
    ::showAlert(message, m_window);
}

void WidgetAlertPresenter::showAlert(const QString& message, const QString& detail) {
    ::showAlert(message, m_window, detail);
}

void WidgetAlertPresenter::showSheetAlert(const SheetAlert& alert,
                                          std::function<void(int button)> done) {
    auto* box = new QMessageBox(m_window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(m_window ? Qt::WindowModal : Qt::ApplicationModal);
    box->setIcon(alert.critical ? QMessageBox::Critical : QMessageBox::Information);
    box->setText(alert.messageText);
    box->setInformativeText(alert.informativeText);
    QList<QAbstractButton*> buttons;
    for (int i = 0; i < alert.buttons.size(); ++i) {
        auto* b = box->addButton(alert.buttons.at(i),
                                 i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole);
        buttons.append(b);
    }
    if (!buttons.isEmpty()) box->setDefaultButton(qobject_cast<QPushButton*>(buttons.first()));
    if (!alert.escapeAnswers) box->installEventFilter(new EscapeSwallower(box));
    QObject::connect(box, &QMessageBox::finished, box, [box, buttons, done = std::move(done)](int) {
        const int index = static_cast<int>(buttons.indexOf(box->clickedButton()));
        if (done) done(index);
    });
    box->open();
}
