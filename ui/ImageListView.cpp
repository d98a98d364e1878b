#include "ImageListView.h"

#include "ConsoleLog.h"
#include "ImageCell.h"
#include "ImageListModel.h"
#include "ImageQueue.h"
#include "OutputCell.h"
#include "ThumbnailCache.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QTimer>

namespace {

// The cells cover the rows; underneath, the row holding the keyboard focus is tinted, both of
// its columns.
class RowBackgroundDelegate final : public QStyledItemDelegate {
public:
    explicit RowBackgroundDelegate(QAbstractItemView* view)
        : QStyledItemDelegate(view), m_view(view) {}
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        if (m_view->hasFocus() && m_view->currentIndex().row() == index.row())
            painter->fillRect(option.rect, QColor(26, 115, 232, 30));
    }

private:
    QAbstractItemView* m_view;
};

}  // namespace

ImageListView::ImageListView(ImageQueue& queue, ThumbnailCache& thumbnails, QWidget* parent)
    : QTableView(parent),
      m_queue(queue),
      m_thumbnails(thumbnails),
      m_model(new ImageListModel(queue, this)) {
    setModel(m_model);
    setItemDelegate(new RowBackgroundDelegate(this));
    connect(selectionModel(), &QItemSelectionModel::currentRowChanged, viewport(),
            qOverload<>(&QWidget::update));
    setSelectionMode(QAbstractItemView::NoSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTabKeyNavigation(false);
    setShowGrid(false);
    setWordWrap(false);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    verticalScrollBar()->setSingleStep(kRowHeight / 2);
    setMouseTracking(true);
    setFrameShape(QFrame::NoFrame);
    setAccessibleName(tr("Images"));

    QHeaderView* rows = verticalHeader();
    rows->hide();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setMinimumSectionSize(kRowHeight);
    rows->setDefaultSectionSize(kRowHeight);

    QHeaderView* columns = horizontalHeader();
    columns->setSectionsMovable(false);
    columns->setSectionsClickable(false);
    columns->setHighlightSections(false);
    columns->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    columns->setMinimumSectionSize(120);
    // The result shares the width: a reason for a failure is read, not guessed from its start.
    columns->setSectionResizeMode(0, QHeaderView::Stretch);
    columns->setSectionResizeMode(1, QHeaderView::Stretch);

    connect(m_model, &QAbstractItemModel::rowsInserted, this, &ImageListView::scheduleLayout);
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, &ImageListView::scheduleLayout);
    connect(m_model, &QAbstractItemModel::modelReset, this, &ImageListView::scheduleLayout);
    connect(&m_thumbnails, &ThumbnailCache::thumbnailReady, this, &ImageListView::showThumbnail);
}

ImageListView::~ImageListView() = default;

ImageCell* ImageListView::imageCell(int row) const {
    for (const Row& r : m_rows)
        if (r.row == row) return r.image;
    return nullptr;
}

OutputCell* ImageListView::outputCell(int row) const {
    for (const Row& r : m_rows)
        if (r.row == row) return r.output;
    return nullptr;
}

int ImageListView::hoveredRow() const {
    for (const Row& r : m_rows)
        if (r.image->isHighlighted() || r.output->isHighlighted()) return r.row;
    return -1;
}

int ImageListView::targetRow() const {
    const int hovered = hoveredRow();
    if (hovered >= 0) return hovered;
    const QWidget* focus = QApplication::focusWidget();
    for (const Row& r : m_rows)
        if (focus && (r.image->isAncestorOf(focus) || r.output->isAncestorOf(focus))) return r.row;
    if (hasFocus() && currentIndex().isValid()) return currentIndex().row();
    return -1;
}

bool ImageListView::deleteRow(int row) {
    const DataModelPtr record = m_model->record(row);
    return record && deleteRecord(record.get());
}

bool ImageListView::deleteTargetRow() {
    return deleteRow(targetRow());
}

bool ImageListView::deleteRecord(const DataModel* record) {
    const int index = m_queue.indexOf(record);
    return index >= 0 && m_queue.deleteImage(index);
}

void ImageListView::scheduleLayout() {
    if (m_layoutScheduled) return;
    m_layoutScheduled = true;
    QTimer::singleShot(0, this, [this] {
        if (m_layoutScheduled) layoutCells();
    });
}

void ImageListView::layoutCellsNow() {
    executeDelayedItemsLayout();
    layoutCells();
}

void ImageListView::updateGeometries() {
    QTableView::updateGeometries();
    layoutCells();
}

void ImageListView::scrollContentsBy(int dx, int dy) {
    QTableView::scrollContentsBy(dx, dy);
    layoutCells();
}

void ImageListView::resizeEvent(QResizeEvent* event) {
    QTableView::resizeEvent(event);
    scheduleLayout();
}

void ImageListView::layoutCells() {
    m_layoutScheduled = false;
    const int count = m_model->rowCount();
    int first = -1;
    int last = -1;
    if (count > 0 && viewport()->height() > 0) {
        first = rowAt(0);
        last = rowAt(viewport()->height() - 1);
        if (first < 0) first = 0;
        if (last < 0) last = count - 1;
    }

    // Rows that left the screen give their cells back.
    QHash<const DataModel*, int> wanted;
    if (first >= 0) {
        wanted.reserve(last - first + 1);
        for (int row = first; row <= last; ++row)
            if (const DataModelPtr record = m_model->record(row)) wanted.insert(record.get(), row);
    }
    for (auto it = m_rows.begin(); it != m_rows.end();) {
        if (!wanted.contains(it.key())) {
            release(*it);
            it = m_rows.erase(it);
        } else {
            ++it;
        }
    }

    // Rows on screen: cells of their own, placed over the row, showing the row's state.
    for (auto it = wanted.cbegin(); it != wanted.cend(); ++it) {
        auto found = m_rows.find(it.key());
        if (found == m_rows.end()) {
            Row row;
            row.record = m_model->record(it.value());
            row.image = takeImageCell();
            row.output = takeOutputCell();
            row.image->setPartner(row.output);
            row.output->setPartner(row.image);
            row.image->bind(row.record);
            row.output->bind(row.record);
            const QString path = row.record->imageURl.value_or(QString());
            row.image->setThumbnail(m_thumbnails.thumbnail(path));
            found = m_rows.insert(it.key(), row);
        }
        found->row = it.value();
        found->image->setGeometry(visualRect(m_model->index(it.value(), 0)));
        found->output->setGeometry(visualRect(m_model->index(it.value(), 1)));
        found->image->show();
        found->output->show();
    }
}

void ImageListView::release(Row& row) {
    const QString path = row.record ? row.record->imageURl.value_or(QString()) : QString();
    if (!path.isEmpty() && !m_thumbnails.isSettled(path)) m_thumbnails.cancel(path);
    row.image->hide();
    row.output->hide();
    row.image->setPartner(nullptr);
    row.output->setPartner(nullptr);
    row.image->bind(nullptr);
    row.output->bind(nullptr);
    row.image->setThumbnail(QImage());
    m_spareImageCells.append(row.image);
    m_spareOutputCells.append(row.output);
}

ImageCell* ImageListView::takeImageCell() {
    if (!m_spareImageCells.isEmpty()) return m_spareImageCells.takeLast();
    auto* cell = new ImageCell(viewport());
    connect(cell, &ImageCell::deleteRequested, this,
            [this](const DataModelPtr& record) { deleteRecord(record.get()); });
    connect(cell, &ListCell::activated, this, &ImageListView::previewRequested);
    return cell;
}

OutputCell* ImageListView::takeOutputCell() {
    if (!m_spareOutputCells.isEmpty()) return m_spareOutputCells.takeLast();
    auto* cell = new OutputCell(viewport());
    connect(cell, &OutputCell::previewRequested, this, &ImageListView::previewRequested);
    connect(cell, &ListCell::activated, this, &ImageListView::previewRequested);
    return cell;
}

void ImageListView::showThumbnail(const QString& path) {
    for (const Row& r : std::as_const(m_rows))
        if (r.record && r.record->imageURl.value_or(QString()) == path)
            r.image->setThumbnail(m_thumbnails.thumbnail(path));
}

void ImageListView::dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                                const QList<int>& roles) {
    QTableView::dataChanged(topLeft, bottomRight, roles);
    for (int row = topLeft.row(); row <= bottomRight.row(); ++row) {
        const DataModelPtr record = m_model->record(row);
        if (!record) continue;
        const auto found = m_rows.constFind(record.get());
        if (found == m_rows.cend()) continue;
        found->image->refresh();
        found->output->refresh();
    }
}

void ImageListView::contextMenuEvent(QContextMenuEvent* event) {
    int row = -1;
    QPoint globalPos = event->globalPos();
    if (event->reason() == QContextMenuEvent::Keyboard) {
        row = targetRow();
        if (row >= 0)
            globalPos = viewport()->mapToGlobal(visualRect(m_model->index(row, 0)).center());
    } else {
        row = rowAt(event->pos().y());
    }
    if (row < 0) return;
    event->accept();
    openRowMenu(row, globalPos);
}

void ImageListView::openRowMenu(int row, const QPoint& globalPos) {
    const DataModelPtr record = m_model->record(row);
    if (!record) return;
    ConsoleLog::line(lcUi(), QStringLiteral("swipe"));
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("rowMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const std::weak_ptr<DataModel> weak = record;
    if (record->status == RowStatus::Done && QFileInfo(record->outputFile).isFile()) {
        QAction* review = menu->addAction(tr("Review"));
        connect(review, &QAction::triggered, this, [this, weak] {
            if (const DataModelPtr r = weak.lock()) emit previewRequested(r);
        });
        QAction* show = menu->addAction(tr("Show in Folder"));
        connect(show, &QAction::triggered, this, [this, weak] {
            if (const DataModelPtr r = weak.lock()) emit showInFolderRequested(r);
        });
        if (record->alreadySaved) {
            QAction* again = menu->addAction(tr("Process again"));
            again->setObjectName(QStringLiteral("actionProcessAgain"));
            connect(again, &QAction::triggered, this, [this, weak] {
                if (const DataModelPtr r = weak.lock()) emit sendAgainRequested(r);
            });
        }
    }
    if (record->status == RowStatus::Failed && !record->failedForGood) {
        QAction* retry = menu->addAction(tr("Retry"));
        connect(retry, &QAction::triggered, this, [this, weak] {
            if (const DataModelPtr r = weak.lock()) emit retryRequested(r);
        });
    }
    // What loses work comes last, apart.
    if (!menu->isEmpty()) menu->addSeparator();
    QAction* remove = menu->addAction(tr("Delete"));
    remove->setShortcut(QKeySequence::Delete);
    remove->setEnabled(record->status != RowStatus::InProgress);
    connect(remove, &QAction::triggered, this, [this, weak] {
        if (const DataModelPtr r = weak.lock()) deleteRecord(r.get());
    });
    menu->popup(globalPos);
}

void ImageListView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Delete || event->key() == Qt::Key_Backspace) {
        if (deleteTargetRow()) {
            event->accept();
            return;
        }
    }
    QTableView::keyPressEvent(event);
}
