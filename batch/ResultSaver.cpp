#include "ResultSaver.h"

#include "ConsoleLog.h"
#include "ResultDownload.h"

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

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

constexpr int kMaxFileNameBytes = 255;

SaveOutcome failure(const QString& text) {
    SaveOutcome outcome;
    outcome.text = text;
    outcome.failure.kind = ServiceFailure::Kind::Permanent;
    outcome.failure.reason = text;
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
bool writeUncommitted(QSaveFile& file, const QByteArray& bytes, QString* why) {
    errno = 0;
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush() ||
        file.size() != bytes.size()) {
        // The system's reason ("No space left on device") where Qt has none of its own.
        const int code = errno;
        QString text = file.errorString();
        if ((text.isEmpty() || text == QLatin1String("Unknown error")) && code != 0)
            text = QString::fromLocal8Bit(strerror(code));
        if (text.isEmpty() || text == QLatin1String("Unknown error"))
            text = QStringLiteral("the file was written short (%1 of %2 bytes)")
                       .arg(file.size())
                       .arg(bytes.size());
        *why = text;
        return false;
    }
#ifdef Q_OS_UNIX
    // commit() syncs too; syncing now lets that happen while the image is being decoded.
    ::fdatasync(file.handle());
#endif
    return true;
}

bool isPlainName(const QString& name) {
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) return false;
    for (const QChar c : name)
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() < 0x20 ||
            c.unicode() == 0x7f)
            return false;
    return true;
}

}  // namespace

ResultSaver::ResultSaver(ServiceSession& session, QObject* parent)
    : QObject(parent), m_session(session), m_maxBytes(ResultDownload::kMaxBytes) {}

ResultSaver::~ResultSaver() = default;

QUrl ResultSaver::resultUrl(const QString& text) {
    // Tolerant parsing keeps valid escapes as they are and encodes only what cannot stand in a
    // URL (a bare space, a stray "%").
    return QUrl(text.trimmed(), QUrl::TolerantMode);
}

QString ResultSaver::uniqueName(const QString& name,
                                const std::function<bool(const QString&)>& taken) {
    if (!taken(name)) return name;
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const bool hasExtension = dot > kPrefix.size();
    const QString stem = hasExtension ? name.left(dot) : name;
    const QString extension = hasExtension ? name.mid(dot) : QString();
    for (int n = 2;; ++n) {
        const QString candidate = QStringLiteral("%1 (%2)%3").arg(stem).arg(n).arg(extension);
        if (!taken(candidate)) return candidate;
    }
}

QString ResultSaver::outputFileName(const QString& resultUrlText, QString* error) {
    auto refuse = [error](const QString& why) {
        if (error) *error = why;
        return QString();
    };
    const QString path = resultUrl(resultUrlText).path(QUrl::FullyEncoded);
    const QString component = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    const QString decoded = QString::fromUtf8(QByteArray::fromPercentEncoding(component.toUtf8()));
    if (!isPlainName(decoded))
        return refuse(
            QStringLiteral("The result address does not end in a file name: %1").arg(component));
    const QString name = kPrefix + decoded;
    if (name.toUtf8().size() > kMaxFileNameBytes)
        return refuse(
            QStringLiteral("The result file name is longer than %1 bytes").arg(kMaxFileNameBytes));
    return name;
}

void ResultSaver::save(const QString& resultUrlText, std::function<void(const SaveOutcome&)> done) {
    ++m_busy;
    auto finish = [this, done = std::move(done)](const SaveOutcome& outcome) {
        --m_busy;
        done(outcome);
    };
    QString refused;
    QString fileName;
    const QUrl url = resultUrl(resultUrlText);
    if (resultUrlText.trimmed().isEmpty())
        refused = QStringLiteral("The service sent no result address");
    if (refused.isEmpty()) refused = ResultDownload::refusal(url);
    if (refused.isEmpty()) fileName = outputFileName(resultUrlText, &refused);
    if (refused.isEmpty() && m_folder.isEmpty())
        refused = QStringLiteral("No output folder is available");
    if (!refused.isEmpty()) {
        // Nothing is fetched; the outcome still arrives later, like every other one.
        QTimer::singleShot(0, this, [finish, refused] { finish(failure(refused)); });
        return;
    }
    // The name is taken now, so that two results of one name arriving together differ.
    fileName =
        uniqueName(fileName, [this](const QString& n) { return m_namesThisRun.contains(n); });
    m_namesThisRun.insert(fileName);

    auto* download = new ResultDownload(m_session, this);
    download->setMaxBytes(m_maxBytes);
    download->fetch(url,
                    [this, download, fileName, finish](const ResultDownload::Outcome& fetched) {
                        download->deleteLater();
                        if (fetched.ok) {
                            store(fetched.bytes, fileName, finish);
                            return;
                        }
                        m_namesThisRun.remove(fileName);
                        SaveOutcome outcome = failure(fetched.error);
                        outcome.failure = fetched.failure;
                        finish(outcome);
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

    const QString path = m_folder.isEmpty() ? QString() : QDir(m_folder).filePath(fileName);
    auto file = std::make_shared<QSaveFile>(path);
    QString writeError;
    if (path.isEmpty()) {
        writeError = QStringLiteral("No output folder is available");
    } else if (QString why; !writeUncommitted(*file, bytes, &why)) {
        writeError = QStringLiteral("The result could not be saved: %1").arg(why);
    }

    auto* watcher = new QFutureWatcher<QSize>(this);
    connect(watcher, &QFutureWatcherBase::finished, this,
            [this, watcher, file, path, fileName, writeError, done = std::move(done)] {
                watcher->deleteLater();
                const QSize size = watcher->result();
                if (!size.isValid()) {
                    file->cancelWriting();
                    m_namesThisRun.remove(fileName);
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
                    m_namesThisRun.remove(fileName);
                    SaveOutcome outcome = failure(reason);
                    outcome.writeFailed = true;
                    done(outcome);
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
