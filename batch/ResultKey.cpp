#include "ResultKey.h"

#include "RunConfig.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlQuery>
#include <QVariant>

namespace {

// An empty text, never NULL (a null QString binds as NULL, which no key column takes).
QString text(const QString& value) {
    return value.isNull() ? QLatin1String("") : value;
}

}  // namespace

QString ResultKey::cleanFolder(const QString& folder) {
    return QDir::cleanPath(folder);
}

const char* const ResultKey::kWhere =
    "source = ? AND bytes = ? AND modified = ? AND folder = ? AND format = ? AND backdrop = ?";

void ResultKey::bind(QSqlQuery& query, int first) const {
    query.bindValue(first, text(source));
    query.bindValue(first + 1, bytes);
    query.bindValue(first + 2, modifiedMs);
    query.bindValue(first + 3, text(folder));
    query.bindValue(first + 4, text(format));
    query.bindValue(first + 5, text(backdrop));
}

bool ResultKey::operator==(const ResultKey& o) const {
    return source == o.source && bytes == o.bytes && modifiedMs == o.modifiedMs &&
           folder == o.folder && format == o.format && backdrop == o.backdrop;
}

ResultKey ResultKey::of(const QString& path, const RunConfig& config) {
    ResultKey key;
    const QFileInfo info(path);
    key.source = info.absoluteFilePath();
    key.bytes = info.size();
    key.modifiedMs = info.lastModified().toMSecsSinceEpoch();
    key.folder = cleanFolder(config.outputFolder);
    key.format = config.imgFormat;
    key.backdrop = config.backdrop();
    return key;
}
