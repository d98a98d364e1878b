#pragma once

#include <QHash>
#include <QVariant>

#include <QList>
#include <QString>
#include <QVariant>
#include <functional>
#include <memory>
#include <optional>

class QSettings;
class KeyStore;
class UserDetailsModel;
class CreditRecord;

// The persisted settings: "api_key", "isFirst", "app_version" and "output_folder". Values keep
// their type on disk (a JSON file), so a value stored with the wrong type reads as absent.
// Whether a result can be written to a folder, and why not.
struct OutputFolderCheck {
    bool ok = true;
    QString message;  // "The output folder is read-only", ...
    QString detail;   // the folder, and the system's reason
};

class SettingsStore final {
public:
    // The user's settings file (~/.config/Vorpane/Vorpane.json).
    SettingsStore();
    // An explicit file, for tests and tools.
    explicit SettingsStore(const QString& filePath);
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    QString filePath() const;
    // From now on changes are kept in memory for this process only; the file is never written
    // (a command-line run reads the user's settings and must not change them).
    void setReadOnly();

    // The stored string, or nothing when absent or not a string.
    std::optional<QString> string(const QString& key) const;
    // Stores the string; nothing removes the value.
    void setString(const QString& key, const std::optional<QString>& value);
    // True only when a Boolean true is stored.
    bool boolValue(const QString& key) const;
    void setBool(const QString& key, bool value);
    // Raw access, for values of any type.
    QVariant value(const QString& key) const;
    void setValue(const QString& key, const QVariant& value);

    // The stored key, or the empty string.
    QString apiKey() const;
    // Stores the key (the empty key is "no key") where keys are kept: the secret store once one
    // answered, else this file. A secret store that refuses the write hands the key back to the
    // file rather than losing it.
    void setApiKey(const QString& key);
    // Keeps the key in `secrets` from now on, once it answers: the key is read there (a key
    // found in this file is moved there, then removed from here) and `ready` is called. When no
    // store answers, the key stays in this file. Without a store, `ready` is called at once.
    // "api_key" through string() and setString() follows the same rule.
    void useKeyStore(KeyStore* secrets);
    bool keyReady() const { return m_keyReady; }
    // Runs `then` once the key is known: at once, or when the store has answered.
    void whenKeyReady(std::function<void()> then);
    bool keyInSecretStore() const { return m_secrets != nullptr; }
    // The stored version, or the empty string.
    QString appVersion() const;
    // The stored folder when it is a non-empty string, else the Downloads folder (never stored).
    QString resolvedOutputFolder() const;
    // The folder results are written to, made ready before an image is sent so that no credit is
    // spent on a result that cannot be saved: a chosen folder must exist; the Downloads default is
    // created when missing. The empty string, with the reason in `error`, when neither works.
    QString prepareOutputFolder(QString* error) const;
    // The folder results go to: the chosen one, or the Downloads default (`isDefault`).
    QString outputFolderChoice(bool* isDefault = nullptr) const;
    // `folder` made ready for results: it must exist, or with `createMissing` it is created.
    static QString prepareFolder(const QString& folder, bool createMissing, QString* error);
    // Whether `folder` has room for `neededBytes` more and, with `probe`, takes a file (one is
    // created and removed; permissions alone do not tell, e.g. a read-only mount).
    static OutputFolderCheck checkOutputFolder(const QString& folder, qint64 neededBytes,
                                               bool probe);
    // Images a run keeps in flight: the stored number from 1 to 8, else 3.
    int imagesAtATime() const;
    static constexpr int kDefaultImagesAtATime = 3;
    static constexpr int kMaxImagesAtATime = 8;

    // The user's Downloads folder, or the empty string when the platform names none.
    static QString downloadsFolder();

    // Before the user has passed the get-start screen, every launch starts from empty settings.
    void firstLaunchWipe();
    // Stores the empty key and empties the three balances of the credit record when it exists.
    void credentialReset(CreditRecord& credits);
    // Removes every setting of the application at once.
    void clearAll();
    void sync();

private:
    void restrictFile();
    QVariant read(const QString& key) const;
    void write(const QString& key, const std::optional<QVariant>& value);

    std::unique_ptr<QSettings> m_settings;
    bool m_readOnly = false;
    QHash<QString, QVariant> m_overlay;  // changes made while read-only
    KeyStore* m_secrets = nullptr;       // where the key is kept, when not in this file
    QString m_key;                       // the key as the secret store holds it
    bool m_keyReady = true;
    QList<std::function<void()>> m_keyWaiters;
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);  // outlived by late store answers
};
