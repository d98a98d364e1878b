#pragma once

#include <QByteArray>
#include <QObject>
#include <QSet>
#include <QSize>
#include <QString>
#include <QUrl>
#include <functional>

#include "RunConfig.h"
#include "ServiceFailure.h"

class ResultDownload;
class ServiceSession;

// What became of one processed image.
struct SaveOutcome {
    bool ok = false;
    QString text;              // the reason, when not ok
    QString note;              // when ok: why the file has another name than its own
    QString filePath;          // the file written, when ok
    QSize size;                // its pixel size, when ok
    ServiceFailure failure;    // what a failed download means (Kind::None when it arrived)
    bool writeFailed = false;  // the bytes arrived but could not be written
};

// Fetches the processed image from the address in the service's reply, checks that the bytes
// are an image, and writes them unchanged into the output folder, as "vorpane_output_" + the
// photo's name without its extension + the extension of the result's real format (or, named
// after the service's result, + the address's last path component, decoded). Within one run two
// results of the same name do not overwrite each other: the later one is saved as
// "name (2).png" and so on. Several saves may be under way at once. Neither the fetch nor the
// decoding blocks the event loop, and the write is atomic: a failed write leaves neither a
// partial file nor a damaged older one.
//
// A result is only ever a regular file directly in the output folder: it is written to a new
// file made there exclusively and renamed over its name, which is never followed. A name held
// by a link, a folder, a pipe or anything but a regular file is left alone and the result takes
// the next free name, so nobody who can write into a shared output folder can make a run write
// anywhere else.
class ResultSaver final : public QObject {
    Q_OBJECT
public:
    static inline const QString kPrefix = QStringLiteral("vorpane_output_");

    explicit ResultSaver(ServiceSession& session, QObject* parent = nullptr);
    ~ResultSaver() override;

    // `done` runs exactly once, always after save() has returned. `photoName` is the source's
    // file name.
    void save(const QString& resultUrlText, const QString& photoName,
              std::function<void(const SaveOutcome&)> done);
    bool isBusy() const { return m_busy > 0; }
    void setMaxBytes(qint64 bytes) { m_maxBytes = bytes; }
    // A new run into `folder`: names saved from now on may replace files of earlier runs, not
    // of this one.
    // Partial files an ended process left there an hour or more ago are removed.
    void beginRun(const QString& folder, ResultNames naming = ResultNames::Photo);

    // The address of a result as the service wrote it (escapes are kept, not encoded again).
    static QUrl resultUrl(const QString& text);
    // The output file's name for a result address: the prefix and the address path's last
    // segment, decoded. Empty, with the reason in `error`, when that segment is not a plain file
    // name or the name would be too long for a file system. The query never counts.
    static QString outputFileName(const QString& resultUrlText, QString* error = nullptr);
    // The output file's name after the photo: the prefix, the photo's name without its
    // extension (characters no file name should hold become "_", and a name too long for a file
    // system is shortened) and `extension` (".png", ".jpg").
    static QString photoFileName(const QString& photoName, const QString& extension);
    // ".png" or ".jpg" for bytes that start like a PNG or a JPEG file, else empty.
    static QString formatExtension(const QByteArray& bytes);
    // "name.png", then "name (2).png", "name (3).png", ... : the first that `taken` refuses.
    static QString uniqueName(const QString& name,
                              const std::function<bool(const QString&)>& taken);

private:
    // Checks and writes bytes that were fetched; the second half of save().
    void store(const QByteArray& bytes, const QString& fileName,
               std::function<void(const SaveOutcome&)> done);
    // The name a result arriving now takes: `wanted`, or the first " (N)" after it that no
    // result of this run holds and that is free or a regular file in the folder.
    QString claimName(const QString& wanted, QString* note);

    ServiceSession& m_session;
    QString m_folder;
    ResultNames m_naming = ResultNames::Photo;
    qint64 m_maxBytes;
    int m_busy = 0;
    QSet<QString> m_namesThisRun;  // output names given out since beginRun()
};
