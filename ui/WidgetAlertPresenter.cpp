#include "WidgetAlertPresenter.h"

#include "ViewHelpers.h"

#include <QMessageBox>
#include <QPushButton>

void WidgetAlertPresenter::showAlert(const QString& message) {
    ::showAlert(message, m_window);
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
    QObject::connect(box, &QMessageBox::finished, box, [box, buttons, done = std::move(done)](int) {
        const int index = static_cast<int>(buttons.indexOf(box->clickedButton()));
        if (done) done(index);
    });
    box->open();
}
