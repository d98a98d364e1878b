#pragma once

#include <QPixmap>
#include <QWidget>

// The thumbnail of a list row: the picture fitted into the view, with rounded corners and a thin
// grey border; a placeholder when there is no picture (yet).
class ThumbnailView final : public QWidget {
    Q_OBJECT
public:
    explicit ThumbnailView(QWidget* parent = nullptr);

    void setImage(const QImage& image);
    void clear();
    bool hasImage() const { return !m_pixmap.isNull(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap m_pixmap;
};
