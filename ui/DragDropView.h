#pragma once

#include <QString>
#include <QWidget>

class ImageQueue;
class QLabel;
class QMimeData;

// The drop area of the main window. A drag is accepted when its first item is a local file or
// folder (checked once, when the drag enters); a drop hands every item to the queue, which
// applies the intake rules. Plain text and other drags are refused.
class DragDropView final : public QWidget {
    Q_OBJECT
public:
    explicit DragDropView(QWidget* parent = nullptr);

    // The queue that admits dropped items; without one every drop is refused.
    void setQueue(ImageQueue* queue) { m_queue = queue; }
    // Shows the placeholder picture (the list is empty) or only the hint line.
    void setPlaceholder(QWidget* placeholder);

    // The outcome of the check made when the current (or last) drag entered.
    bool fileTypeIsOk() const { return m_fileTypeIsOk; }
    // The path of the last plain file taken from a drop.
    QString droppedFilePath() const { return m_droppedFilePath; }

    // True when the drag carries file locations and the first one is a local path.
    static bool checkDraggedFiles(const QMimeData* data);
    // The drag-and-drop steps, also used for drops on the list.
    bool enter(const QMimeData* data);
    bool drop(const QMimeData* data);
    void leave();

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    ImageQueue* m_queue = nullptr;
    QLabel* m_hint;
    bool m_fileTypeIsOk = false;
    bool m_dragActive = false;
    QString m_droppedFilePath;
};
