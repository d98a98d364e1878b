#pragma once

#include <QHash>
#include <QString>

// Results paid for but not saved yet, kept on disk so that a command killed mid-run (kill -9, a
// second Ctrl+C, a crash, a reboot) does not pay for them again: the next run that sends the same
// image with the same options to the same folder fetches the result instead. One small JSON file
// shared by every vorpane-cli of the user; each change re-reads it and rewrites it atomically
// under a lock, so runs side by side keep each other's entries. An entry leaves when its
// file is saved, when the service says the result is gone, or after kMaxAgeDays.
class PaidResults final {
public:
    struct Key {
        QString source;  // absolute path
        qint64 bytes = 0;
        QString outputFolder;
        QString format;  // "png" or "jpg"
        QString colour;  // "#RRGGBB", empty for a transparent backdrop
        QString text() const;
    };
    static constexpr int kMaxAgeDays = 30;

    // ~/.local/share/Vorpane/vorpane-cli/paid-results.json
    static QString defaultPath();
    explicit PaidResults(QString path) : m_path(std::move(path)) {}
    ~PaidResults();
    PaidResults(const PaidResults&) = delete;
    PaidResults& operator=(const PaidResults&) = delete;

    // The result addresses on record, by Key::text().
    QHash<QString, QString> load() const;
    // Records the address of a paid result (an empty one forgets the key). False, with error()
    // set, when the file could not be written.
    bool remember(const Key& key, const QString& resultUrl);
    bool forget(const Key& key) { return remember(key, QString()); }
    QString error() const { return m_error; }

private:
    QString m_path;
    QString m_error;
    int m_lockFd = -1;  // "<file>.lock", opened once, locked (flock) around each change
};
