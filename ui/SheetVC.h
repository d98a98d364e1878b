#pragma once

#include <QDialog>

struct AppContext;
class ServiceSession;

// The settings sheet: the API key (verified with the service when saved) and the output folder.
// One instance is created on first use and kept; every presentation refills it from the settings.
class SheetVC final : public QDialog {
    Q_OBJECT
public:
    SheetVC(AppContext& context, ServiceSession& session, QWidget* parent);
    ~SheetVC() override;

    // Shows the sheet window-modal over its parent.
    void present();
};
