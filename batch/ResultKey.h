#pragma once

#include <QString>

class SqlStatement;
struct RunConfig;

// What makes two results the same: the same source file (path, size, modification time) made
// with the same options into the same folder.
struct ResultKey {
    QString source;  // absolute path
    qint64 bytes = 0;
    qint64 modifiedMs = 0;
    QString folder;  // as cleanFolder gives it: keys compare and match rows as plain text
    QString format;    // "png" or "jpg"
    QString backdrop;  // "#RRGGBB", or empty for a transparent one

    // The key of the file at `path` as it is now, for a run with `config`.
    static ResultKey of(const QString& path, const RunConfig& config);
    static QString cleanFolder(const QString& folder);
    bool isValid() const { return !source.isEmpty(); }
    bool operator==(const ResultKey& o) const;

    // The condition that picks a key's row in the ledger's tables, and its six values bound
    // from placeholder `first` on.
    static const char* const kWhere;
    void bind(SqlStatement& query, int first) const;
};

// A result saved earlier and still in its folder as it was written.
struct SavedResult {
    QString filePath;
    qint64 bytes = 0;
    qint64 savedAtMs = 0;
};
