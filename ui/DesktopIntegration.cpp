#include "DesktopIntegration.h"

#include "DesktopBus.h"
#include "UrlOpener.h"

#include <QDBusMessage>
#include <QDBusVariant>
#include <QFileInfo>
#include <QUrl>
#include <QVariantMap>

DesktopIntegration::DesktopIntegration(UrlOpener& opener, QObject* parent)
    : QObject(parent), m_opener(opener) {}

void DesktopIntegration::setBus(DesktopBus* bus) {
    if (m_bus) disconnect(m_bus, nullptr, this, nullptr);
    m_bus = bus;
    if (m_bus)
        connect(m_bus, &DesktopBus::notificationActionInvoked, this, &DesktopIntegration::onAction);
}

bool DesktopIntegration::notify(const QString& summary, const QString& body,
                                const QString& folder) {
    if (!m_bus || !m_bus->hasService(kNotifications)) return false;
    QDBusMessage call = QDBusMessage::createMethodCall(
        kNotifications, QStringLiteral("/org/freedesktop/Notifications"), kNotifications,
        QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), kDesktopId},
                            {QStringLiteral("category"), QStringLiteral("transfer.complete")}};
    call << QStringLiteral("Vorpane") << m_notificationId << kDesktopId << summary << body
         << QStringList{QStringLiteral("default"), tr("Open Output Folder"), kOpenFolderAction,
                        tr("Open Output Folder")}
         << hints << -1;
    m_notifiedFolder = folder;
    m_bus->send(call, [this](const QDBusMessage& reply) {
        if (!reply.arguments().isEmpty()) m_notificationId = reply.arguments().first().toUInt();
    });
    return true;
}

bool DesktopIntegration::notifyRunEnded(RunState state, const RunProgress::Counts& counts,
                                        const QString& folder) {
    const QString summary = RunProgress::summary(counts, true);
    switch (state) {
        case RunState::Finished:
            return notify(tr("Batch finished"), summary, folder);
        case RunState::Halted:
            return notify(tr("Batch halted"),
                          tr("The service stopped answering. %1, %2 not sent.")
                              .arg(summary)
                              .arg(counts.remaining),
                          folder);
        default:
            return false;
    }
}

void DesktopIntegration::onAction(uint id, const QString& actionKey) {
    if (id != m_notificationId || m_notifiedFolder.isEmpty()) return;
    if (actionKey == kOpenFolderAction || actionKey == QLatin1String("default"))
        openFolder(m_notifiedFolder);
}

void DesktopIntegration::setLauncherProgress(double fraction, bool visible) {
    if (!m_bus) return;
    QDBusMessage signal = QDBusMessage::createSignal(
        QStringLiteral("/app/vorpane/Vorpane"), QStringLiteral("com.canonical.Unity.LauncherEntry"),
        QStringLiteral("Update"));
    const QVariantMap properties{{QStringLiteral("progress"), qBound(0.0, fraction, 1.0)},
                                 {QStringLiteral("progress-visible"), visible}};
    signal << QStringLiteral("application://%1.desktop").arg(kDesktopId) << properties;
    m_bus->send(signal);
}

bool DesktopIntegration::openFolder(const QString& folder) {
    return !folder.isEmpty() && m_opener.openUrl(QUrl::fromLocalFile(folder));
}

bool DesktopIntegration::showInFolder(const QString& filePath) {
    const QFileInfo file(filePath);
    if (m_bus && file.isFile() && m_bus->hasService(kFileManager)) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            kFileManager, QStringLiteral("/org/freedesktop/FileManager1"), kFileManager,
            QStringLiteral("ShowItems"));
        call << QStringList{QUrl::fromLocalFile(file.absoluteFilePath()).toString()} << QString();
        m_bus->send(call);
        return true;
    }
    return openFolder(file.absolutePath());
}
