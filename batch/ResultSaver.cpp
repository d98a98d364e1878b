#include "ResultSaver.h"

#include "AppContext.h"
#include "ConsoleLog.h"
#include "ResultDownload.h"
#include "SettingsStore.h"

#include <QBuffer>
#include <QDir>
#include <QFuture>
#include <QFutureWatcher>
#include <QImage>
#include <QImageReader>
#include <QPromise>
#include <QSaveFile>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

constexpr int kMaxFileNameBytes = 255;

SaveOutcome failure(const QString& text) {
    SaveOutcome outcome;
    outcome.text = text;
    return outcome;
}

// The pixel size of a fully decoded image, or an invalid size when the bytes are no image.
QSize pixelSize(const QByteArray& bytes) {
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QImage image = reader.read();
    return image.isNull() ? QSize() : image.size();
}

// Writes the bytes beside the destination and puts them on disk, without replacing it yet. The
// explicit flush and size check matter: commit() alone reports success after a short final
// write (file size limit, full disk) and would rename a truncated file over the destination.
bool writeUncommitted(QSaveFile& file, const QByteArray& bytes) {
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush() ||
        file.size() != bytes.size())
        return false;
#ifdef Q_OS_UNIX
    // commit() syncs too; syncing now lets that happen while the image is being decoded.
    ::fdatasync(file.handle());
#endif
    return true;
}

bool isPlainName(const QString& name) {
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

}  // namespace

ResultSaver::ResultSaver(AppContext& context, ServiceSession& session, QObject* parent)
    : QObject(parent), m_context(context), m_download(new ResultDownload(session, this)) {}

ResultSaver::~ResultSaver() = default;

bool ResultSaver::isBusy() const {
    return m_download->isBusy();
}

void ResultSaver::setMaxBytes(qint64 bytes) {
    m_download->setMaxBytes(bytes);
}

QString ResultSaver::outputFileName(const QString& resultUrlText, QString* error) {
    auto refuse = [error](const QString& why) {
        if (error) *error = why;
        return QString();
    };
    const QString component = resultUrlText.mid(resultUrlText.lastIndexOf(QLatin1Char('/')) + 1);
    const QString decoded = QString::fromUtf8(QByteArray::fromPercentEncoding(component.toUtf8()));
    if (!isPlainName(component) || !isPlainName(decoded))
        return refuse(
            QStringLiteral("The result address does not end in a file name: %1").arg(component));
    const QString name = kPrefix + component;
    if (name.toUtf8().size() > kMaxFileNameBytes)
        return refuse(
            QStringLiteral("The result file name is longer than %1 bytes").arg(kMaxFileNameBytes));
    return name;
}

void ResultSaver::save(const QString& resultUrlText, std::function<void(const SaveOutcome&)> done) {
    QString refused;
    QString fileName;
    const QUrl url(resultUrlText, QUrl::StrictMode);
    if (resultUrlText.isEmpty()) refused = QStringLiteral("The service sent no result address");
    if (refused.isEmpty()) refused = ResultDownload::refusal(url);
    if (refused.isEmpty()) fileName = outputFileName(resultUrlText, &refused);
    if (refused.isEmpty() && m_context.settings.resolvedOutputFolder().isEmpty())
        refused = QStringLiteral("No output folder is available");
    if (!refused.isEmpty()) {
        // Nothing is fetched; the outcome still arrives later, like every other one.
        QTimer::singleShot(0, this, [done = std::move(done), refused] { done(failure(refused)); });
        return;
    }
    m_download->fetch(
        url, [this, fileName, done = std::move(done)](const ResultDownload::Outcome& fetched) {
            if (fetched.ok)
                store(fetched.bytes, fileName, done);
            else
                done(failure(fetched.error));
        });
}

void ResultSaver::store(const QByteArray& bytes, const QString& fileName,
                        std::function<void(const SaveOutcome&)> done) {
    // The bytes are decoded on a worker thread while they are written and synced here; the file
    // replaces the destination only once they proved to be an image.
    auto decoding = std::make_shared<QPromise<QSize>>();
    QFuture<QSize> decoded = decoding->future();
    decoding->start();
    QThreadPool::globalInstance()->start([decoding, bytes] {
        decoding->addResult(pixelSize(bytes));
        decoding->finish();
    });

    const QString folder = m_context.settings.resolvedOutputFolder();
    const QString path = folder.isEmpty() ? QString() : QDir(folder).filePath(fileName);
    auto file = std::make_shared<QSaveFile>(path);
    QString writeError;
    if (path.isEmpty()) {
        writeError = QStringLiteral("No output folder is available");
    } else if (!writeUncommitted(*file, bytes)) {
        writeError = QStringLiteral("The result could not be saved: %1").arg(file->errorString());
    }

    auto* watcher = new QFutureWatcher<QSize>(this);
    connect(watcher, &QFutureWatcherBase::finished, this,
            [watcher, file, path, writeError, done = std::move(done)] {
                watcher->deleteLater();
                const QSize size = watcher->result();
                if (!size.isValid()) {
                    file->cancelWriting();
                    done(failure(QStringLiteral("The result is not an image")));
                    return;
                }
                if (path.isEmpty()) {
                    done(failure(writeError));
                    return;
                }
                ConsoleLog::line(QUrl::fromLocalFile(path).toString());
                if (!writeError.isEmpty() || !file->commit()) {
                    ConsoleLog::line(QStringLiteral("Error"));
                    const QString reason = writeError.isEmpty()
                                               ? QStringLiteral("The result could not be saved: %1")
                                                     .arg(file->errorString())
                                               : writeError;
                    file->cancelWriting();
                    done(failure(reason));
                    return;
                }
                ConsoleLog::line(QStringLiteral("Image image saved"));
                SaveOutcome outcome;
                outcome.ok = true;
                outcome.filePath = path;
                outcome.size = size;
                done(outcome);
            });
    watcher->setFuture(decoded);
}
