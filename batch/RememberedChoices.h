#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class OutputOptions;
class SettingsStore;

// The choices kept from one launch to the next: the background type and colour and the output
// format (saved whenever they change), the folder images were last added from, and the window's
// geometry. They live in the settings, so the first-launch wipe clears them with the rest.
class RememberedChoices final : public QObject {
    Q_OBJECT
public:
    RememberedChoices(SettingsStore& settings, OutputOptions& options, QObject* parent = nullptr);

    // Gives the options their remembered values (values of the wrong form are ignored); from
    // then on every change of the options is saved.
    void restore();

    QString lastAddFolder() const;
    // Remembers the folder of what was just added: the folder itself, or the folder of the first
    // file.
    void rememberAdded(const QStringList& paths, bool folders);

    QByteArray windowGeometry() const;
    void setWindowGeometry(const QByteArray& geometry);

private:
    void save();

    SettingsStore& m_settings;
    OutputOptions& m_options;
    bool m_saving = false;
};
