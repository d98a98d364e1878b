#include "ImageListModel.h"

ImageListModel::ImageListModel(ImageQueue& queue, QObject* parent)
    : QAbstractTableModel(parent), m_queue(queue), m_rows(queue.count()) {
    connect(&m_queue, &ImageQueue::rowInserted, this, &ImageListModel::onRowInserted);
    connect(&m_queue, &ImageQueue::rowRemoved, this, &ImageListModel::onRowRemoved);
    connect(&m_queue, &ImageQueue::rowsReset, this, &ImageListModel::rebuild);
    connect(&m_queue, &ImageQueue::rowChanged, this, &ImageListModel::onRowChanged);
}

int ImageListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_rows;
}

int ImageListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 2;
}

DataModelPtr ImageListModel::record(int row) const {
    if (row < 0 || row >= m_rows) return nullptr;
    return m_queue.at(row);
}

int ImageListModel::rowOf(const DataModel* record) const {
    const int row = m_queue.indexOf(record);
    return row < m_rows ? row : -1;
}

QVariant ImageListModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole && role != Qt::AccessibleTextRole)
        return {};
    const DataModelPtr r = record(index.row());
    if (!r) return {};
    if (index.column() == 0)
        return r->imageName && !r->imageName->isEmpty() ? *r->imageName : QStringLiteral("NA");
    return resultText(*r);
}

QString ImageListModel::resultText(const DataModel& r) {
    const QString text = r.statusText.trimmed();
    if (!text.isEmpty()) return text;
    switch (r.status) {
        case RowStatus::Waiting:
            return tr("Waiting");
        case RowStatus::InProgress:
            return tr("In progress");
        case RowStatus::Done:
            return tr("Done");
        case RowStatus::Failed:
            return tr("Failed");
        case RowStatus::FailedHalted:
            return tr("Not sent");
    }
    return {};
}

QVariant ImageListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    return section == 0 ? tr("Image") : tr("Result");
}

Qt::ItemFlags ImageListModel::flags(const QModelIndex& index) const {
    return index.isValid() ? Qt::ItemIsEnabled : Qt::NoItemFlags;
}

void ImageListModel::onRowInserted(int row) {
    const int count = m_queue.count();
    if (row == m_rows && m_rows < count) {
        beginInsertRows(QModelIndex(), row, row);
        ++m_rows;
        endInsertRows();
    } else if (m_rows != count) {
        rebuild();
    }
}

void ImageListModel::onRowRemoved(int row) {
    const int count = m_queue.count();
    if (row >= 0 && row < m_rows && count == m_rows - 1) {
        beginRemoveRows(QModelIndex(), row, row);
        --m_rows;
        endRemoveRows();
    } else if (m_rows != count) {
        rebuild();
    }
}

void ImageListModel::onRowChanged(int row) {
    if (row < 0 || row >= m_rows) return;
    emit dataChanged(index(row, 0), index(row, 1));
}

void ImageListModel::rebuild() {
    beginResetModel();
    m_rows = m_queue.count();
    endResetModel();
}
