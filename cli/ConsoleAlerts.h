#pragma once

#include "AlertPresenter.h"
#include "UrlOpener.h"

#include <functional>

// The alerts of the run as lines on standard error. A question is answered "Cancel" (or closed,
// when it has no such button): nobody is there to choose, so nothing is bought, opened or
// retried on the user's behalf.
class ConsoleAlerts final : public AlertPresenter, public UrlOpener {
public:
    // Where the lines go (the progress display clears its bar first).
    explicit ConsoleAlerts(std::function<void(const QString&)> print);

    // An alert with its detail as the lines a terminal shows.
    static QString line(const QString& message, const QString& detail);

    void showAlert(const QString& message) override;
    void showAlert(const QString& message, const QString& detail) override;
    void showSheetAlert(const SheetAlert& alert, std::function<void(int button)> done) override;
    bool openUrl(const QUrl& url) override;

private:
    std::function<void(const QString&)> m_print;
};
