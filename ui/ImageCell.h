#pragma once

#include "ListCell.h"

class BusyIndicator;
class Button;
class ElidedLabel;
class QLabel;
class ThumbnailView;

// The first cell of a list row: the thumbnail and name of the image, a spinner while it is being
// processed, a done or failed mark, and a delete button shown while the pointer is over the cell.
class ImageCell final : public ListCell {
    Q_OBJECT
public:
    explicit ImageCell(QWidget* parent = nullptr);

    void refresh() override;
    void setThumbnail(const QImage& image);

    ThumbnailView* thumbnail() const { return m_thumbnail; }
    ElidedLabel* textField() const { return m_textField; }
    BusyIndicator* progressIndicator() const { return m_progressIndicator; }
    QLabel* imgComplete() const { return m_imgComplete; }
    QLabel* imgFailed() const { return m_imgFailed; }
    Button* btnDelete() const { return m_btnDelete; }
    // The name the cell shows in full ("NA" when the record has none).
    QString name() const { return m_name; }

signals:
    void deleteRequested(const std::shared_ptr<DataModel>& record);

protected:
    void highlightChanged() override;

private:
    void updateDeleteButton();

    ThumbnailView* m_thumbnail;
    ElidedLabel* m_textField;
    BusyIndicator* m_progressIndicator;
    QLabel* m_imgComplete;
    QLabel* m_imgFailed;
    Button* m_btnDelete;
    QString m_name;
};
