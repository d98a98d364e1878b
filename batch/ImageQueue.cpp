#include "ImageQueue.h"

#include "AlertPresenter.h"
#include "AppContext.h"
#include "ConsoleLog.h"
#include "NaturalOrder.h"
#include "WindowState.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace {

// Opens the file to prove that it can be read; returns its size, or nothing. Only regular files
// count: opening a named pipe would wait for a writer forever, a device never ends.
std::optional<qint64> readableSize(const QString& path) {
    if (path.isEmpty()) return std::nullopt;
    const QFileInfo info(path);
    if (!info.isFile()) return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    return file.size();
}

QString shortList(const QStringList& items) {
    constexpr int kShown = 20;
    if (items.size() <= kShown)
        return QLatin1Char('[') + items.join(QStringLiteral(", ")) + QLatin1Char(']');
    return QLatin1Char('[') + items.mid(0, kShown).join(QStringLiteral(", ")) +
           QStringLiteral(", ... %1 more]").arg(items.size() - kShown);
}

}  // namespace

ImageQueue::ImageQueue(AppContext& context, WindowState& window, QObject* parent)
    : QObject(parent), m_context(context), m_window(window) {}

DataModelPtr ImageQueue::at(qint64 index) const {
    if (!arrTableData || index < 0 || index >= arrTableData->size()) return nullptr;
    return arrTableData->at(static_cast<int>(index));
}

int ImageQueue::indexOf(const DataModel* record) const {
    if (!arrTableData || !record) return -1;
    // Rows move only when others before them are removed or put in between, so the record is
    // at or near where it was last found: looked for outwards from there, a run over thousands
    // of rows does not read the whole list on every change of a row.
    const int n = static_cast<int>(arrTableData->size());
    const int hint = std::clamp(record->rowHint, 0, std::max(0, n - 1));
    for (int d = 0; d < n; ++d) {
        for (const int i : {hint - d, hint + d}) {
            if (i >= 0 && i < n && arrTableData->at(i).get() == record) {
                record->rowHint = i;
                return i;
            }
        }
        if (hint - d < 0 && hint + d >= n) break;
    }
    return -1;
}

QString ImageQueue::identity(const QString& path) {
    // The file itself: two folders may each hold an "apple.jpg", and a link or a second spelling
    // of a path leads to the same file.
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QFileInfo(path).absoluteFilePath() : canonical;
}

QString ImageQueue::listedNames(QStringList names) {
    constexpr int kShown = 5;
    names.removeDuplicates();  // a folder added twice names its files once
    if (names.size() <= kShown) return names.join(QStringLiteral(", "));
    return names.mid(0, kShown).join(QStringLiteral(", ")) +
           QStringLiteral(" and %1 more").arg(names.size() - kShown);
}

QString ImageQueue::pathExtension(const QString& fileName) {
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0 || dot == fileName.size() - 1) return QString();
    return fileName.mid(dot + 1);
}

bool ImageQueue::isListedImage(const QString& fileName) {
    // Cameras write "IMG_0001.JPG": the case of an extension says nothing about the file.
    const QString ext = pathExtension(fileName);
    for (const char* allowed : {"png", "jpg", "jpeg"})
        if (ext.compare(QLatin1String(allowed), Qt::CaseInsensitive) == 0) return true;
    return false;
}

void ImageQueue::admitPaths(const QStringList& paths, bool dropped) {
    QList<Item> items;
    items.reserve(paths.size());
    for (const QString& p : paths) items.append(Item{p, dropped});
    admitSelection(items);
}

void ImageQueue::beginAdmission() {
    if (m_admissionDepth++ == 0) m_refusals = Refusals();
}

void ImageQueue::endAdmission() {
    if (--m_admissionDepth > 0) return;
    const Refusals r = std::exchange(m_refusals, Refusals());
    // One alert for the whole admission: the first reason as its text, each reason with the
    // names it concerns in its detail.
    QStringList texts;
    QStringList details;
    if (const qsizetype n = r.otherTypes.size()) {
        texts << (n == 1 ? QStringLiteral("1 file could not be added. Only add png and jpg images")
                         : QString::number(n) + QStringLiteral(" files could not be added. Only "
                                                               "add png and jpg images"));
        details << QStringLiteral("Not png or jpg: %1.").arg(listedNames(r.otherTypes));
    }
    if (const qsizetype n = r.duplicates.size()) {
        texts << (n == 1 ? QStringLiteral("Image is already in the list!")
                         : QStringLiteral("%1 images are already in the list").arg(n));
        details << QStringLiteral("Already in the list: %1.").arg(listedNames(r.duplicates));
    }
    if (const qsizetype n = r.folders.size()) {
        texts << (n == 1 ? QStringLiteral("1 folder inside was not searched")
                         : QStringLiteral("%1 folders inside were not searched").arg(n));
        details << QStringLiteral("Not searched: %1. Add a folder on its own to queue its images.")
                       .arg(listedNames(r.folders));
    }
    if (texts.isEmpty()) return;
    m_context.alerts.showAlert(texts.first(), details.join(QLatin1Char('\n')));
}

void ImageQueue::admitSelection(const QList<Item>& items) {
    beginAdmission();
    for (const Item& item : items) {
        const QFileInfo info(item.path);
        if (!item.path.isEmpty() && info.isDir()) {
            admitFolder(info.absoluteFilePath());
            continue;
        }
        const auto size = readableSize(item.path);
        if (!size) continue;  // unreadable files are skipped silently
        admitFile(info.fileName(), info.absoluteFilePath(), *size);
    }
    endAdmission();
}

void ImageQueue::admitFolder(const QString& folderPath) {
    QDir dir(folderPath);
    if (!dir.exists() || !QFileInfo(folderPath).isReadable()) {
        ConsoleLog::line(QStringLiteral("The folder %1 could not be listed").arg(folderPath));
        return;
    }
    // Name order as a file manager shows it, so the same folder gives the same queue on every
    // file system.
    QFileInfoList listing = dir.entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    sortByName(listing);
    QStringList listed;
    listed.reserve(listing.size());
    QFileInfoList kept;
    beginAdmission();
    for (const QFileInfo& entry : listing) {
        listed.append(entry.absoluteFilePath());
        if (entry.isDir())
            m_refusals.folders.append(entry.fileName());
        else if (isListedImage(entry.fileName()))
            kept.append(entry);
        else
            m_refusals.otherTypes.append(entry.fileName());
    }
    ConsoleLog::line(shortList(listed));
    QStringList keptPaths;
    keptPaths.reserve(kept.size());
    for (const QFileInfo& entry : kept) keptPaths.append(entry.absoluteFilePath());
    ConsoleLog::line(QStringLiteral("imsge urls:") + shortList(keptPaths));

    for (const QFileInfo& entry : kept) {
        const auto size = readableSize(entry.absoluteFilePath());
        if (!size) continue;
        admitFile(entry.fileName(), entry.absoluteFilePath(), *size);
    }
    endAdmission();
}

void ImageQueue::admitFile(const QString& name, const QString& path, qint64 byteCount) {
    auto record = std::make_shared<DataModel>();
    record->imageName = name;
    record->imageURl = path;
    record->byteCount = byteCount;

    const QString id = identity(path);
    if (!arrTableData) {
        arrTableData = QList<DataModelPtr>{record};
        m_files.insert(id);
        showAddedRow(0);
    } else if (m_files.contains(id)) {
        beginAdmission();
        m_refusals.duplicates.append(name);
        endAdmission();
    } else {
        record->rowHint = static_cast<int>(arrTableData->size());
        arrTableData->append(record);
        m_files.insert(id);
        showAddedRow(count() - 1);
        styleStartButton();
    }
    // Adding a waiting row changes only the total.
    updateUploadCount(m_shownHandled);
}

void ImageQueue::showAddedRow(int row) {
    QMetaObject::invokeMethod(
        this,
        [this, row] {
            const bool empty = arrTableData && arrTableData->isEmpty();
            m_window.apply([empty](WindowState::Controls& c) {
                c.imageViewVisible = empty;
                c.contentScrollVisible = !empty;
                c.bottomViewVisible = !empty;
                c.lblRemainCreditVisible = !empty;
            });
            emit rowInserted(row);
        },
        Qt::QueuedConnection);
}

void ImageQueue::styleStartButton() {
    m_window.apply([](WindowState::Controls& c) {
        c.btnStartEnabled = true;
        c.btnStartTitle = QStringLiteral("START");
    });
}

void ImageQueue::updateUploadCount(qint64 finished) {
    m_shownHandled = finished;
    const QString text = QStringLiteral("Finished %1 of %2").arg(finished).arg(count());
    m_window.apply([&text](WindowState::Controls& c) {
        c.lblUploadCountVisible = true;
        c.lblUploadCountText = text;
    });
}

bool ImageQueue::deleteImage(int index) {
    if (!arrTableData || index < 0 || index >= arrTableData->size()) return false;
    const DataModelPtr record = arrTableData->at(index);
    if (record->status == RowStatus::InProgress) return false;  // the image being sent stays
    arrTableData->removeAt(index);
    if (record->imageURl) m_files.remove(identity(*record->imageURl));
    // Keep `counter` on the same record: it is the index of the next image to send.
    if (index < counter) --counter;
    emit rowRemoved(index);
    updateUploadCount(handledCount());
    if (arrTableData->isEmpty()) clearList();
    return true;
}

void ImageQueue::clearList() {
    QMetaObject::invokeMethod(
        this, [this] { resetList(); }, Qt::QueuedConnection);
}

void ImageQueue::resetList() {
    counter = 0;
    m_shownHandled = 0;
    if (arrTableData) arrTableData->clear();
    if (arrUploadImages) arrUploadImages->clear();
    m_files.clear();
    m_window.apply([](WindowState::Controls& c) {
        c.unlockList();
        c.imageViewVisible = true;
        c.contentScrollVisible = false;
        c.bottomViewVisible = false;
        c.lblUploadCountVisible = false;
        c.lblUploadCountText.clear();
        c.btnStartEnabled = true;
        c.btnStartTitle = QStringLiteral("START");
    });
    emit rowsReset();
}

void ImageQueue::restore(const QList<DataModelPtr>& records) {
    QList<DataModelPtr> rows;
    rows.reserve(records.size());
    m_files.clear();
    for (const DataModelPtr& record : records) {
        if (!record || !record->imageName || !record->imageURl) continue;
        const QString id = identity(*record->imageURl);
        if (m_files.contains(id)) continue;
        m_files.insert(id);
        record->rowHint = static_cast<int>(rows.size());
        rows.append(record);
    }
    arrTableData = rows;
    counter = 0;
    const bool empty = rows.isEmpty();
    emit rowsReset();  // the list is shown again whole
    m_window.apply([empty](WindowState::Controls& c) {
        c.unlockList();
        c.imageViewVisible = empty;
        c.contentScrollVisible = !empty;
        c.bottomViewVisible = !empty;
        c.lblRemainCreditVisible = !empty;
        c.btnStartEnabled = true;
        c.btnStartTitle = QStringLiteral("START");
    });
    updateUploadCount(handledCount());
    if (!empty) emit rowInserted(count() - 1);  // the run has images to send again
}

bool ImageQueue::isImageSizeAllowed(qint64 byteCount) {
    return ImageUpload::isImageSizeAllowed(byteCount);
}

int ImageQueue::handledCount() const {
    int n = 0;
    for (int i = 0; i < count(); ++i) n += arrTableData->at(i)->isHandled() ? 1 : 0;
    return n;
}

int ImageQueue::doneCount() const {
    int n = 0;
    for (int i = 0; i < count(); ++i) n += arrTableData->at(i)->status == RowStatus::Done ? 1 : 0;
    return n;
}

void ImageQueue::notifyResultKnown(const DataModel* record) {
    const int row = indexOf(record);
    if (row >= 0) emit resultKnown(row);
}

void ImageQueue::notifyRowChanged(const DataModel* record) {
    const int row = indexOf(record);
    if (row >= 0) emit rowChanged(row);
}
