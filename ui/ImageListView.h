#pragma once

#include "DataModel.h"

#include <QHash>
#include <QList>
#include <QTableView>
#include <memory>

class ImageCell;
class ImageListModel;
class ImageQueue;
class OutputCell;
class ThumbnailCache;

// The image list: a two-column table whose rows on screen are shown by ImageCell and OutputCell
// widgets. Cells are reused as rows scroll by, and every time a cell is given a row it shows
// that row's state as the queue holds it, so a row that scrolls away and back, or a list rebuilt
// after a delete, shows its true state. Making a row's cells reads no file: thumbnails come from
// the cache, which decodes them off the main thread.
class ImageListView final : public QTableView {
    Q_OBJECT
public:
    static constexpr int kRowHeight = 40;

    ImageListView(ImageQueue& queue, ThumbnailCache& thumbnails, QWidget* parent = nullptr);
    ~ImageListView() override;

    ImageListModel* listModel() const { return m_model; }
    // The cells showing a row, or nullptr when the row is not on screen.
    ImageCell* imageCell(int row) const;
    OutputCell* outputCell(int row) const;
    // The row under the pointer, or -1.
    int hoveredRow() const;
    // The row the Delete key acts on: the one under the pointer, else the one holding the
    // keyboard focus; -1 when there is none.
    int targetRow() const;
    // Removes a row from the queue. False when nothing was removed (no such row, or the row
    // being sent).
    bool deleteRow(int row);
    bool deleteTargetRow();
    // Lays the cells out now rather than on the next turn of the event loop.
    void layoutCellsNow();

signals:
    void previewRequested(const std::shared_ptr<DataModel>& record);
    // "Retry" in a failed row's menu.
    void retryRequested(const std::shared_ptr<DataModel>& record);
    // "Show in Folder" of a row whose result is saved.
    void showInFolderRequested(const std::shared_ptr<DataModel>& record);
    // "Process again" of a row whose result an earlier run saved.
    void sendAgainRequested(const std::shared_ptr<DataModel>& record);

protected:
    void updateGeometries() override;
    void scrollContentsBy(int dx, int dy) override;
    void dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                     const QList<int>& roles = QList<int>()) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    struct Row {
        std::shared_ptr<DataModel> record;
        ImageCell* image = nullptr;
        OutputCell* output = nullptr;
        int row = -1;
    };

    void scheduleLayout();
    void layoutCells();
    void release(Row& row);
    void showThumbnail(const QString& path);
    ImageCell* takeImageCell();
    OutputCell* takeOutputCell();
    void openRowMenu(int row, const QPoint& globalPos);
    bool deleteRecord(const DataModel* record);

    ImageQueue& m_queue;
    ThumbnailCache& m_thumbnails;
    ImageListModel* m_model;
    QHash<const DataModel*, Row> m_rows;  // rows on screen, by record
    QList<ImageCell*> m_spareImageCells;
    QList<OutputCell*> m_spareOutputCells;
    bool m_layoutScheduled = false;
};
