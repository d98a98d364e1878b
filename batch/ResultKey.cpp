#include "ResultKey.h"

#include "RunConfig.h"
#include "SqlStatement.h"

#include <QDir>
#include <QFileInfo>
#include <QVariant>

namespace {

// An empty text, never NULL (a null QString binds as NULL, which no key column takes).
QString text(const QString& value) {
    return value.isNull() ? QString(QLatin1String("")) : value;
}

}  // namespace

QString ResultKey::cleanFolder(const QString& folder) {
    return QDir::cleanPath(folder);
}

const char* const ResultKey::kWhere =
    "source = ? AND bytes = ? AND modified = ? AND folder = ? AND format = ? AND backdrop = ?";

void ResultKey::bind(SqlStatement& query, int first) const {
    query.bind(first, text(source));
    query.bind(first + 1, bytes);
    query.bind(first + 2, modifiedMs);
    query.bind(first + 3, text(folder));
    query.bind(first + 4, text(format));
    query.bind(first + 5, text(backdrop));
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
