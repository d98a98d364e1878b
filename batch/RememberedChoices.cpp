#include "RememberedChoices.h"

#include "OutputOptions.h"
#include "SettingsStore.h"
#include "UserDefaultKeys.h"

#include <QFileInfo>
#include <QRegularExpression>

namespace {
const QString kColored = QStringLiteral("colored");
const QString kTransparent = QStringLiteral("transparent");
}  // namespace

RememberedChoices::RememberedChoices(SettingsStore& settings, OutputOptions& options,
                                     QObject* parent)
    : QObject(parent), m_settings(settings), m_options(options) {}

void RememberedChoices::restore() {
    const auto format = m_settings.string(UserDefaultKeys::outputFormat);
    if (format == QLatin1String("jpg")) m_options.chooseOption(QStringLiteral("JPG"));
    const auto color = m_settings.string(UserDefaultKeys::backgroundColor);
    static const QRegularExpression hex(QStringLiteral("^#[0-9A-F]{6}$"));
    if (color && hex.match(*color).hasMatch()) m_options.colorDidChange(QColor(*color));
    const auto type = m_settings.string(UserDefaultKeys::backgroundType);
    if (type == kColored)
        m_options.chooseColored();
    else if (type == kTransparent)
        m_options.chooseTransparent();
    if (!m_saving) {
        m_saving = true;
        connect(&m_options, &OutputOptions::changed, this, &RememberedChoices::save);
    }
}

void RememberedChoices::save() {
    // The colour panel reports while the user drags: only what differs is written.
    const auto store = [this](const QString& key, const std::optional<QString>& value) {
        if (m_settings.string(key) != value) m_settings.setString(key, value);
    };
    store(UserDefaultKeys::backgroundType, m_options.isColored ? kColored : kTransparent);
    store(UserDefaultKeys::backgroundColor, m_options.selectedColor.isEmpty()
                                                ? std::nullopt
                                                : std::optional<QString>(m_options.selectedColor));
    store(UserDefaultKeys::outputFormat, m_options.imgFormat);
}

QString RememberedChoices::lastAddFolder() const {
    const QString folder = m_settings.string(UserDefaultKeys::lastAddFolder).value_or(QString());
    return !folder.isEmpty() && QFileInfo(folder).isDir() ? folder : QString();
}

void RememberedChoices::rememberAdded(const QStringList& paths, bool folders) {
    if (paths.isEmpty()) return;
    const QFileInfo first(paths.first());
    const QString folder = folders ? first.absoluteFilePath() : first.absolutePath();
    m_settings.setString(UserDefaultKeys::lastAddFolder, folder);
}

QByteArray RememberedChoices::windowGeometry() const {
    return QByteArray::fromBase64(
        m_settings.string(UserDefaultKeys::windowGeometry).value_or(QString()).toLatin1());
}

void RememberedChoices::setWindowGeometry(const QByteArray& geometry) {
    m_settings.setString(UserDefaultKeys::windowGeometry, QString::fromLatin1(geometry.toBase64()));
}
