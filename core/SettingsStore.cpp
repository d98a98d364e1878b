#include "SettingsStore.h"

#include "CreditRecord.h"
#include "KeyStore.h"
#include "PrivateFile.h"
#include "UserDefaultKeys.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSettings>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>
#include <utility>

Q_LOGGING_CATEGORY(lcKey, "vorpane.key", QtWarningMsg)

namespace {

bool readJson(QIODevice& device, QSettings::SettingsMap& map) {
    const QByteArray data = device.readAll();
    if (data.trimmed().isEmpty()) return true;
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) return false;
    const QJsonObject object = doc.object();
    for (auto it = object.begin(); it != object.end(); ++it)
        map.insert(it.key(), it.value().toVariant());
    return true;
}

bool writeJson(QIODevice& device, const QSettings::SettingsMap& map) {
    QJsonObject object;
    for (auto it = map.begin(); it != map.end(); ++it)
        object.insert(it.key(), QJsonValue::fromVariant(it.value()));
    return device.write(QJsonDocument(object).toJson(QJsonDocument::Indented)) >= 0;
}

QSettings::Format jsonFormat() {
    static const QSettings::Format format =
        QSettings::registerFormat(QStringLiteral("json"), readJson, writeJson);
    return format;
}

}  // namespace

SettingsStore::SettingsStore()
    : m_settings(std::make_unique<QSettings>(jsonFormat(), QSettings::UserScope,
                                             QStringLiteral("Vorpane"),
                                             QStringLiteral("Vorpane"))) {
    restrictFile();
}

SettingsStore::SettingsStore(const QString& filePath)
    : m_settings(std::make_unique<QSettings>(filePath, jsonFormat())) {
    restrictFile();
}

void SettingsStore::restrictFile() {
    // The file holds the key when no secret store does: no other account may read it. Later
    // saves replace the file and keep its mode.
    if (!PrivateFile::create(m_settings->fileName()))
        qCWarning(lcKey) << "the settings file" << m_settings->fileName()
                         << "cannot be made private";
}

SettingsStore::~SettingsStore() {
    m_settings->sync();
}

QString SettingsStore::filePath() const {
    return m_settings->fileName();
}

void SettingsStore::setReadOnly() {
    m_readOnly = true;
}

QVariant SettingsStore::read(const QString& key) const {
    const auto it = m_overlay.constFind(key);
    if (it != m_overlay.constEnd()) return *it;
    return m_settings->value(key);
}

void SettingsStore::write(const QString& key, const std::optional<QVariant>& value) {
    if (m_readOnly) {
        m_overlay.insert(key, value.value_or(QVariant()));
        return;
    }
    if (value)
        m_settings->setValue(key, *value);
    else
        m_settings->remove(key);
    m_settings->sync();
}

std::optional<QString> SettingsStore::string(const QString& key) const {
    if (m_secrets && key == UserDefaultKeys::apiKey) return m_key;
    const QVariant v = read(key);
    if (v.typeId() != QMetaType::QString) return std::nullopt;
    return v.toString();
}

void SettingsStore::setString(const QString& key, const std::optional<QString>& value) {
    if (m_secrets && key == UserDefaultKeys::apiKey && !m_readOnly)
        return setApiKey(value.value_or(QString()));
    write(key, value ? std::optional<QVariant>(*value) : std::nullopt);
}

bool SettingsStore::boolValue(const QString& key) const {
    const QVariant v = read(key);
    return v.typeId() == QMetaType::Bool && v.toBool();
}

void SettingsStore::setBool(const QString& key, bool value) {
    write(key, QVariant(value));
}

QVariant SettingsStore::value(const QString& key) const {
    return read(key);
}

void SettingsStore::setValue(const QString& key, const QVariant& value) {
    write(key, value);
}

QString SettingsStore::apiKey() const {
    return string(UserDefaultKeys::apiKey).value_or(QString());
}

void SettingsStore::setApiKey(const QString& key) {
    if (!m_secrets || m_readOnly) {
        write(UserDefaultKeys::apiKey, QVariant(key));
        return;
    }
    m_key = key;
    if (m_settings->contains(UserDefaultKeys::apiKey)) {
        m_settings->remove(UserDefaultKeys::apiKey);
        m_settings->sync();
    }
    auto done = [this, alive = std::weak_ptr<int>(m_alive), key](KeyStore::Outcome outcome) {
        if (alive.expired() || outcome == KeyStore::Outcome::Ok ||
            outcome == KeyStore::Outcome::NotFound)
            return;
        qCWarning(lcKey) << "the secret store refused the key; it is kept in the settings file";
        m_secrets = nullptr;
        m_settings->setValue(UserDefaultKeys::apiKey, m_key);
        m_settings->sync();
    };
    if (key.isEmpty())
        m_secrets->deleteKey(done);
    else
        m_secrets->writeKey(key, done);
}

void SettingsStore::whenKeyReady(std::function<void()> then) {
    if (m_keyReady)
        then();
    else
        m_keyWaiters.append(std::move(then));
}

void SettingsStore::useKeyStore(KeyStore* secrets) {
    if (!secrets) return;
    m_keyReady = false;
    const std::weak_ptr<int> alive = m_alive;
    secrets->readKey([this, alive, secrets](KeyStore::Outcome outcome, const QString& key) {
        if (alive.expired()) return;
        auto finish = [this] {
            m_keyReady = true;
            const QList<std::function<void()>> waiters = std::exchange(m_keyWaiters, {});
            for (const auto& then : waiters) then();
        };
        if (outcome != KeyStore::Outcome::Ok && outcome != KeyStore::Outcome::NotFound) {
            qCInfo(lcKey) << "no secret store answers; the key stays in the settings file";
            return finish();
        }
        const QVariant inFile = m_settings->value(UserDefaultKeys::apiKey);
        const QString fileKey =
            inFile.typeId() == QMetaType::QString ? inFile.toString() : QString();
        m_secrets = secrets;
        if (fileKey.isEmpty()) {
            m_key = outcome == KeyStore::Outcome::Ok ? key : QString();
            if (inFile.isValid()) {
                m_settings->remove(UserDefaultKeys::apiKey);
                m_settings->sync();
            }
            return finish();
        }
        // A key written by an earlier version (or while no store answered) moves to the store;
        // the file keeps it until the store has it.
        m_key = fileKey;
        secrets->writeKey(fileKey, [this, alive, fileKey, finish](KeyStore::Outcome written) {
            if (alive.expired()) return;
            if (written == KeyStore::Outcome::Ok) {
                if (m_settings->value(UserDefaultKeys::apiKey).toString() == fileKey)
                    m_settings->remove(UserDefaultKeys::apiKey);
                m_settings->sync();
            } else {
                qCWarning(lcKey) << "the secret store refused the key; it stays in the settings "
                                    "file";
                m_secrets = nullptr;
            }
            finish();
        });
    });
}

QString SettingsStore::appVersion() const {
    return string(UserDefaultKeys::appVersion).value_or(QString());
}

QString SettingsStore::resolvedOutputFolder() const {
    const auto folder = string(UserDefaultKeys::outputFolder);
    if (folder && !folder->isEmpty()) return *folder;
    return downloadsFolder();
}

QString SettingsStore::outputFolderChoice(bool* isDefault) const {
    const QString downloads = downloadsFolder();
    const auto chosen = string(UserDefaultKeys::outputFolder);
    // Saving the settings stores the Downloads path the sheet showed; it is still the default.
    const bool useDefault =
        !chosen || chosen->isEmpty() || QDir::cleanPath(*chosen) == QDir::cleanPath(downloads);
    if (isDefault) *isDefault = useDefault;
    return useDefault ? downloads : *chosen;
}

QString SettingsStore::prepareOutputFolder(QString* error) const {
    bool isDefault = false;
    const QString folder = outputFolderChoice(&isDefault);
    return prepareFolder(folder, isDefault, error);
}

QString SettingsStore::prepareFolder(const QString& folder, bool createMissing, QString* error) {
    if (!createMissing) {
        // A chosen folder that is gone (an unplugged drive, say) is not recreated behind the user's
        // back.
        if (!folder.isEmpty() && QFileInfo(folder).isDir()) return folder;
        if (error) *error = QStringLiteral("The output folder %1 does not exist").arg(folder);
        return QString();
    }
    if (!folder.isEmpty() && QDir().mkpath(folder)) return folder;
    if (error) *error = QStringLiteral("No output folder is available");
    return QString();
}

OutputFolderCheck SettingsStore::checkOutputFolder(const QString& folder, qint64 neededBytes,
                                                   bool probe) {
    OutputFolderCheck check;
    auto refuse = [&check, &folder](const QString& message, const QString& why) {
        check.ok = false;
        check.message = message;
        check.detail = why.isEmpty() ? folder : QStringLiteral("%1\n%2").arg(folder, why);
        return check;
    };
    if (probe) {
        QTemporaryFile file(QDir(folder).filePath(QStringLiteral(".vorpane-write-test-XXXXXX")));
        errno = 0;
        if (!file.open() || file.write("x", 1) != 1 || !file.flush()) {
            const int code = errno;
            const QString why = code ? QString::fromLocal8Bit(strerror(code)) : file.errorString();
            if (code == ENOSPC || code == EDQUOT)
                return refuse(QStringLiteral("The disk holding the output folder is full"), why);
            return refuse(QStringLiteral("The output folder is read-only"), why);
        }
    }
    const QStorageInfo storage(folder);
    if (storage.isValid() && storage.bytesAvailable() >= 0 &&
        storage.bytesAvailable() < neededBytes)
        return refuse(QStringLiteral("The disk holding the output folder is full"),
                      QStringLiteral("%1 bytes free, %2 needed")
                          .arg(storage.bytesAvailable())
                          .arg(neededBytes));
    return check;
}

int SettingsStore::imagesAtATime() const {
    const QVariant v = value(UserDefaultKeys::imagesAtATime);
    bool ok = false;
    const int n = v.toInt(&ok);
    if (!ok || v.typeId() == QMetaType::QString || v.typeId() == QMetaType::Bool || n < 1 ||
        n > kMaxImagesAtATime)
        return kDefaultImagesAtATime;
    return n;
}

QString SettingsStore::downloadsFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
}

void SettingsStore::firstLaunchWipe() {
    if (boolValue(UserDefaultKeys::isFirst)) return;
    clearAll();
}

void SettingsStore::credentialReset(CreditRecord& credits) {
    setString(UserDefaultKeys::apiKey, QString());
    credits.clearBalances();
}

void SettingsStore::clearAll() {
    if (m_secrets) setApiKey(QString());
    m_settings->clear();
    m_settings->sync();
}

void SettingsStore::sync() {
    m_settings->sync();
}
