#pragma once

#include <QByteArray>
#include <QObject>
#include <QSize>
#include <QString>
#include <functional>

struct AppContext;
class ResultDownload;
class ServiceSession;

// What became of one processed image.
struct SaveOutcome {
    bool ok = false;
    QString text;      // the reason, when not ok
    QString filePath;  // the file written, when ok
    QSize size;        // its pixel size, when ok
};

// Fetches the processed image from the address in the service's reply, checks that the bytes
// are an image, and writes them unchanged as "vorpane_output_" + the address's last path
// component into the output folder. Neither the fetch nor the decoding blocks the event loop, and
// the write is atomic: a failed write leaves neither a partial file nor a damaged older one.
class ResultSaver final : public QObject {
    Q_OBJECT
public:
    static inline const QString kPrefix = QStringLiteral("vorpane_output_");

    ResultSaver(AppContext& context, ServiceSession& session, QObject* parent = nullptr);
    ~ResultSaver() override;

    // `done` runs exactly once, always after save() has returned.
    void save(const QString& resultUrlText, std::function<void(const SaveOutcome&)> done);
    bool isBusy() const;
    void setMaxBytes(qint64 bytes);

    // The output file's name for a result address: the prefix and the text after the address's
    // last "/". Empty, with the reason in `error`, when that text is not a plain file name (also
    // after percent-decoding) or the name would be too long for a file system.
    static QString outputFileName(const QString& resultUrlText, QString* error = nullptr);

private:
    // Checks and writes bytes that were fetched; the second half of save().
    void store(const QByteArray& bytes, const QString& fileName,
               std::function<void(const SaveOutcome&)> done);

    AppContext& m_context;
    ResultDownload* m_download;
};
