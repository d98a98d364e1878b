#pragma once

#include "ImageUpload.h"

#include "DataModel.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QUrl>
#include <memory>
#include <optional>

struct AppContext;
class WindowState;

using DataModelPtr = std::shared_ptr<DataModel>;

// The queue of images a batch run processes, and every way images enter and leave it. Files come
// from the open dialog, from a drop and from the command line, and all follow one set of rules:
// folders are listed one level deep and filtered by extension (whatever its case), a plain file is
// taken whatever its extension, a file already queued is refused (the same file, not the same
// name: two folders may each hold an "IMG_0001.JPG"), an unreadable file is skipped silently.
// Whatever an admission refuses is said once, at its end, with the names concerned.
class ImageQueue final : public QObject {
    Q_OBJECT
public:
    // One item of a selection: a path, and whether it came from a drop (or the command line)
    // rather than the open dialog.
    struct Item {
        QString path;
        bool dropped = false;
    };

    static constexpr qint64 kSizeLimit = ImageUpload::kSizeLimit;

    ImageQueue(AppContext& context, WindowState& window, QObject* parent = nullptr);

    // Queue and run fields. Absent and empty lists are different states.
    std::optional<QList<DataModelPtr>> arrTableData;
    qint64 counter = 0;
    std::optional<QList<QUrl>> arrUploadImages;
    qint64 outputIndex = 0;
    bool isStopTapped = false;

    int count() const { return arrTableData ? static_cast<int>(arrTableData->size()) : 0; }
    DataModelPtr at(qint64 index) const;
    // The row index of a record, or -1.
    int indexOf(const DataModel* record) const;

    // Admits each item in order; folders go to admitFolder, plain files to admitFile.
    void admitSelection(const QList<Item>& items);
    void admitPaths(const QStringList& paths, bool dropped);
    // Admits the png, jpg and jpeg files directly inside the folder; the other files and the
    // folders inside it are named in the admission's alert.
    void admitFolder(const QString& folderPath);
    // Admits one readable plain file, or refuses it as a duplicate. Within one admission (a
    // selection, a drop, a folder) the duplicates are reported once, together.
    void admitFile(const QString& name, const QString& path, qint64 byteCount);

    // Shows a batch kept from an earlier session in place of the list (only while no run is
    // under way): the records in their order and states; a name met twice keeps its first row.
    void restore(const QList<DataModelPtr>& records);

    // Writes "Finished N of M".
    void updateUploadCount(qint64 finished);
    // Rows handled (done or failed), and rows done; the same count as the run's progress.
    int handledCount() const;
    int doneCount() const;
    // Removes one record (the row's delete button, the context menu, the Delete key). An index
    // outside the list, and the row being sent, are ignored. Returns whether a record was removed.
    bool deleteImage(int index);
    // Empties the queue on the next turn of the event loop.
    void clearList();
    // Returns the queue and the window to the empty state at once.
    void resetList();

    static bool isImageSizeAllowed(qint64 byteCount);
    // The extension of a file name as the folder filter sees it ("" for ".hidden" and "name").
    static QString pathExtension(const QString& fileName);
    // Whether a folder listing takes the file: its extension is png, jpg or jpeg, in any case.
    static bool isListedImage(const QString& fileName);

signals:
    void rowInserted(int row);
    void rowRemoved(int row);
    // The whole list must be shown again (after a reset).
    void rowsReset();
    // A row's presentation changed.
    void rowChanged(int row);
    // The service accepted a row's image: its result address is known (and paid for).
    void resultKnown(int row);

public:
    // Tells the window that a row's state changed.
    void notifyRowChanged(const DataModel* record);
    void notifyResultKnown(const DataModel* record);

private:
    void showAddedRow(int row);
    // Counts duplicates while an admission is under way and reports them once at its end.
    void beginAdmission();
    void endAdmission();
    void styleStartButton();
    // The queued file a path leads to.
    static QString identity(const QString& path);
    // "a.png, b.png, c.png, d.png, e.png and 12 more".
    static QString listedNames(QStringList names);

    // What an admission under way has refused, by reason.
    struct Refusals {
        QStringList otherTypes;  // files of a folder that are no png or jpg
        QStringList duplicates;  // files already queued
        QStringList folders;     // folders inside a folder, not searched
    };

    AppContext& m_context;
    WindowState& m_window;
    QSet<QString> m_files;  // canonical paths of the queued records
    int m_admissionDepth = 0;
    Refusals m_refusals;
    qint64 m_shownHandled = 0;  // the N of "Finished N of M" last shown
};
