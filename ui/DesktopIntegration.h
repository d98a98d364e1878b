#pragma once

#include "BatchRun.h"
#include "RunProgress.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include "DesktopBus.h"
class UrlOpener;

// What the window asks of the desktop: a notification when a run ends, the run's progress on the
// dock or task bar entry, and the file manager for the output folder. Without a bus (tests, or no
// session bus) only the folder opens, through the opener.
class DesktopIntegration final : public QObject {
    Q_OBJECT
public:
    static inline const QString kNotifications = QStringLiteral("org.freedesktop.Notifications");
    static inline const QString kFileManager = QStringLiteral("org.freedesktop.FileManager1");
    static inline const QString kDesktopId = QStringLiteral("app.vorpane.Vorpane");
    static inline const QString kOpenFolderAction = QStringLiteral("open-folder");

    explicit DesktopIntegration(UrlOpener& opener, QObject* parent = nullptr);

    void setBus(DesktopBus* bus);
    DesktopBus* bus() const { return m_bus; }

    // A desktop notification whose action (or a click on it) opens `folder`. Nothing when no
    // notification service runs. Returns whether one was sent.
    bool notify(const QString& summary, const QString& body, const QString& folder);
    // The notification of a run that ended in `state`: finished or halted. A run the user
    // stopped tells nothing. Returns whether one was sent.
    bool notifyRunEnded(RunState state, const RunProgress::Counts& counts, const QString& folder);
    // The dock entry's progress bar: `fraction` (0 to 1) while `visible`.
    void setLauncherProgress(double fraction, bool visible);
    // Opens the folder in the file manager. False when nothing could open it.
    bool openFolder(const QString& folder);
    // Shows the file selected in its folder where a file manager offers that, else opens the
    // folder.
    bool showInFolder(const QString& filePath);

private:
    void onAction(uint id, const QString& actionKey);

    UrlOpener& m_opener;
    QPointer<DesktopBus> m_bus;
    uint m_notificationId = 0;
    QString m_notifiedFolder;
};
