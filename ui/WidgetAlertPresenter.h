#pragma once

#include "AlertPresenter.h"

#include <QPointer>
#include <QWidget>

// Shows the logic's alerts as message boxes over the main window.
class WidgetAlertPresenter final : public AlertPresenter {
public:
    explicit WidgetAlertPresenter(QWidget* window = nullptr) : m_window(window) {}
    void setWindow(QWidget* window) { m_window = window; }

    void showAlert(const QString& message) override;
    void showAlert(const QString& message, const QString& detail) override;
    void showSheetAlert(const SheetAlert& alert, std::function<void(int button)> done) override;

private:
    QPointer<QWidget> m_window;
};
