#include "ResultSaver.h"

#include "ConsoleLog.h"
#include "ResultDownload.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QFutureWatcher>
#include <QImage>
#include <QImageReader>
#include <QPromise>
#include <QRandomGenerator>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

QString systemError(int code) {
    return QString::fromLocal8Bit(strerror(code));
}

// A result's bytes in a new file of the output folder, made there exclusively (never through a
// link), put on disk, and then renamed over the result's name, which rename never follows.
// Discarded unless it was put in place.
class StagedFile {
public:
    StagedFile() = default;
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;
    ~StagedFile() {
        discard();
        if (m_dir >= 0) ::close(m_dir);
    }

    bool write(const QString& folder, const QByteArray& bytes, QString* why) {
        m_dir = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (m_dir < 0) return fail(why);
        int fd = -1;
        for (int attempt = 0; fd < 0 && attempt < 16; ++attempt) {
            m_temp = QStringLiteral(".vorpane-%1.part")
                         .arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'))
                         .toUtf8();
            fd = ::openat(m_dir, m_temp.constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (fd < 0 && errno != EEXIST) break;
        }
        if (fd < 0) {
            m_temp.clear();
            return fail(why);
        }
        qint64 written = 0;
        while (written < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.constData() + written, bytes.size() - written);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                // A short final write (file size limit, full disk) must not become the result.
                *why = n < 0 ? systemError(errno)
                             : QStringLiteral("the file was written short (%1 of %2 bytes)")
                                   .arg(written)
                                   .arg(bytes.size());
                ::close(fd);
                return false;
            }
            written += n;
        }
        const bool synced = ::fdatasync(fd) == 0;
        const int code = errno;
        ::close(fd);
        if (!synced) *why = systemError(code);
        return synced;
    }

    // Puts the file in place as `name` in the folder.
    bool commit(const QString& name, QString* why) {
        if (::renameat(m_dir, m_temp.constData(), m_dir, QFile::encodeName(name).constData()) != 0)
            return fail(why);
        m_temp.clear();
        ::fsync(m_dir);  // the new name survives a power cut too
        return true;
    }

    void discard() {
        if (m_temp.isEmpty()) return;
        ::unlinkat(m_dir, m_temp.constData(), 0);
        m_temp.clear();
    }

private:
    bool fail(QString* why) {
        *why = systemError(errno);
        return false;
    }

    int m_dir = -1;
    QByteArray m_temp;
};

// What the folder holds under `name` when it is something a result must not replace: "a link",
// "a folder", ...; empty when the name is free or a regular file.
QString occupant(const QString& folder, const QString& name) {
    struct stat st {};
    if (::lstat(QFile::encodeName(QDir(folder).filePath(name)).constData(), &st) != 0 ||
        S_ISREG(st.st_mode))
        return QString();
    if (S_ISLNK(st.st_mode)) return QStringLiteral("a link");
    if (S_ISDIR(st.st_mode)) return QStringLiteral("a folder");
    if (S_ISFIFO(st.st_mode)) return QStringLiteral("a pipe");
    return QStringLiteral("not a regular file");
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

void ResultSaver::beginRun(const QString& folder, ResultNames naming) {
    m_folder = folder;
    m_naming = naming;
    m_namesThisRun.clear();
    const QDateTime anHourAgo = QDateTime::currentDateTime().addSecs(-3600);
    const QFileInfoList parts = QDir(folder).entryInfoList(
        {QStringLiteral(".vorpane-*.part")}, QDir::Files | QDir::Hidden | QDir::NoSymLinks);
    for (const QFileInfo& part : parts)
        if (part.lastModified() < anHourAgo) QFile::remove(part.filePath());
}

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

QString ResultSaver::formatExtension(const QByteArray& bytes) {
    if (bytes.startsWith("\x89PNG\r\n\x1a\n")) return QStringLiteral(".png");
    if (bytes.startsWith("\xff\xd8\xff")) return QStringLiteral(".jpg");
    return QString();
}

QString ResultSaver::photoFileName(const QString& photoName, const QString& extension) {
    QString stem = QFileInfo(photoName).fileName();
    const qsizetype dot = stem.lastIndexOf(QLatin1Char('.'));
    if (dot > 0) stem.truncate(dot);
    for (QChar& c : stem)
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() < 0x20 ||
            c.unicode() == 0x7f)
            c = QLatin1Char('_');
    // Room for the prefix, the extension and a " (99)" of a second result of the name.
    const qsizetype room =
        kMaxFileNameBytes - kPrefix.toUtf8().size() - extension.toUtf8().size() - 5;
    while (stem.toUtf8().size() > room)
        stem.chop(stem.size() >= 2 && stem.back().isLowSurrogate() ? 2 : 1);
    if (stem.isEmpty()) stem = QStringLiteral("image");
    return kPrefix + stem + extension;
}

QString ResultSaver::claimName(const QString& wanted, QString* note) {
    QString held;  // what holds the wanted name, when it is not a regular file
    const QString name = uniqueName(wanted, [this, &wanted, &held](const QString& n) {
        if (m_namesThisRun.contains(n)) return true;
        const QString other = occupant(m_folder, n);
        if (n == wanted) held = other;
        return !other.isEmpty();
    });
    if (!held.isEmpty())
        *note = QStringLiteral("%1 is %2, left alone: saved as %3").arg(wanted, held, name);
    m_namesThisRun.insert(name);
    return name;
}

void ResultSaver::save(const QString& resultUrlText, const QString& photoName,
                       std::function<void(const SaveOutcome&)> done) {
    ++m_busy;
    auto finish = [this, done = std::move(done)](const SaveOutcome& outcome) {
        --m_busy;
        done(outcome);
    };
    QString refused;
    QString serviceName;
    const QUrl url = resultUrl(resultUrlText);
    if (resultUrlText.trimmed().isEmpty())
        refused = QStringLiteral("The service sent no result address");
    if (refused.isEmpty()) refused = ResultDownload::refusal(url);
    if (refused.isEmpty() && m_naming == ResultNames::Service)
        serviceName = outputFileName(resultUrlText, &refused);
    if (refused.isEmpty() && m_folder.isEmpty())
        refused = QStringLiteral("No output folder is available");
    if (!refused.isEmpty()) {
        // Nothing is fetched; the outcome still arrives later, like every other one.
        QTimer::singleShot(0, this, [finish, refused] { finish(failure(refused)); });
        return;
    }
    auto* download = new ResultDownload(m_session, this);
    download->setMaxBytes(m_maxBytes);
    download->fetch(url, [this, download, url, serviceName, photoName,
                          finish](const ResultDownload::Outcome& fetched) {
        download->deleteLater();
        if (!fetched.ok) {
            SaveOutcome outcome = failure(fetched.error);
            outcome.failure = fetched.failure;
            finish(outcome);
            return;
        }
        QString fileName = serviceName;
        if (fileName.isEmpty()) {
            // The bytes say what the result is; the address's ending only when they do not.
            QString extension = formatExtension(fetched.bytes);
            if (extension.isEmpty()) {
                const QString suffix = QFileInfo(url.path()).suffix().toLower();
                extension = suffix == QLatin1String("jpeg") ? QStringLiteral(".jpg")
                            : suffix.isEmpty() || suffix.size() > 4 || !isPlainName(suffix)
                                ? QStringLiteral(".png")
                                : QLatin1Char('.') + suffix;
            }
            fileName = photoFileName(photoName, extension);
        }
        store(fetched.bytes, fileName, finish);
    });
}

void ResultSaver::store(const QByteArray& bytes, const QString& wantedName,
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

    // The name is taken now, so that two results of one name arriving together differ.
    QString note;
    const QString fileName = claimName(wantedName, &note);
    const QString path = QDir(m_folder).filePath(fileName);
    auto file = std::make_shared<StagedFile>();
    QString writeError;
    if (QString why; !file->write(m_folder, bytes, &why))
        writeError = QStringLiteral("The result could not be saved: %1").arg(why);

    auto* watcher = new QFutureWatcher<QSize>(this);
    connect(watcher, &QFutureWatcherBase::finished, this,
            [this, watcher, file, path, fileName, note, writeError, done = std::move(done)] {
                watcher->deleteLater();
                const QSize size = watcher->result();
                if (!size.isValid()) {
                    m_namesThisRun.remove(fileName);
                    done(failure(QStringLiteral("The result is not an image")));
                    return;
                }
                ConsoleLog::line(QUrl::fromLocalFile(path).toString());
                QString why;
                if (!writeError.isEmpty() || !file->commit(fileName, &why)) {
                    ConsoleLog::line(QStringLiteral("Error"));
                    m_namesThisRun.remove(fileName);
                    SaveOutcome outcome =
                        failure(writeError.isEmpty()
                                    ? QStringLiteral("The result could not be saved: %1").arg(why)
                                    : writeError);
                    outcome.writeFailed = true;
                    done(outcome);
                    return;
                }
                ConsoleLog::line(QStringLiteral("Image image saved"));
                SaveOutcome outcome;
                outcome.ok = true;
                outcome.note = note;
                outcome.filePath = path;
                outcome.size = size;
                done(outcome);
            });
    watcher->setFuture(decoded);
}
