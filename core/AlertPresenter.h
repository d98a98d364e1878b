#pragma once

#include <QString>
#include <QStringList>
#include <functional>

// A two-or-more-button alert shown over the main window without blocking the caller.
struct SheetAlert {
    QString messageText;
    QString informativeText;
    QStringList buttons;  // first button is the default one
    bool critical = false;
    // Whether Escape answers the alert (with its last button). An alert whose only answer is an
    // action (a required update) is not answered by Escape.
    bool escapeAnswers = true;
};

// Everything the logic asks of the user goes through this interface. The window implements it
// with message boxes; tests replace it with a recorder.
class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    // Modal message with one "OK" button; returns once the user has dismissed it.
    virtual void showAlert(const QString& message) = 0;
    // The same, with a second text that says more (the cause, what to do next).
    virtual void showAlert(const QString& message, const QString& detail) {
        showAlert(detail.isEmpty() ? message : message + QStringLiteral("\n\n") + detail);
    }
    // Window-modal alert; `done` receives the index of the pressed button (or -1 when closed).
    virtual void showSheetAlert(const SheetAlert& alert, std::function<void(int button)> done) = 0;
};
