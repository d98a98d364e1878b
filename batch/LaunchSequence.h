#pragma once

#include "VersionCheck.h"

#include <QObject>

struct AppContext;
class CreditService;
class SettingsStore;

// What the main window does when it opens: the first-launch wipe of the settings, the decision
// to show the get-start screen, and the version check whose outcome decides whether the credits
// are fetched.
class LaunchSequence final : public QObject {
    Q_OBJECT
public:
    LaunchSequence(AppContext& context, VersionCheck& version, CreditService& credits,
                   QObject* parent = nullptr);

    // The first-launch wipe, then whether the get-start screen is due.
    bool prepare();
    // True while no API key is stored.
    static bool needsGetStart(const SettingsStore& settings);
    // Starts the version check; continueAfter() follows its outcome.
    void checkVersion();
    // soft: the optional update alert, then the credits; hard: the required update alert and
    // nothing else; unknown: the credits.
    void continueAfter(UpdateType type);
    // The user left the get-start screen: later launches keep the settings.
    void leaveGetStart();

signals:
    // The version check answered and its continuation ran.
    void versionChecked(UpdateType type);

private:
    AppContext& m_context;
    VersionCheck& m_version;
    CreditService& m_credits;
};
