#pragma once

#include "ImageQueue.h"

#include <QAbstractTableModel>

// The image queue as a two-column table: the image, and the result. Rows follow the queue's
// signals; when a signal no longer matches the queue (insertions arrive on a later turn of the
// event loop and the queue may have changed since), the table is rebuilt from the queue.
class ImageListModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit ImageListModel(ImageQueue& queue, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    DataModelPtr record(int row) const;
    // The row of a record, or -1 when it is not shown.
    int rowOf(const DataModel* record) const;
    // The words of a row's result column: waiting, what it is doing, its size, or why it failed
    // or was not sent.
    static QString resultText(const DataModel& record);

private:
    void onRowInserted(int row);
    void onRowRemoved(int row);
    void onRowChanged(int row);
    void rebuild();

    ImageQueue& m_queue;
    int m_rows = 0;  // rows the views know of; at most the queue's count
};
