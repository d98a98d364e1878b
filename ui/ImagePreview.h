#pragma once

#include <QDialog>
#include <QPixmap>
#include <QStringList>

class QLabel;

// A window that shows pictures from a list of files one at a time, scaled to fit. Left and Right
// move through the list; Space or Escape closes the window. Files are decoded off the main
// thread; a file that is no picture is shown by its name only.
class ImagePreview final : public QDialog {
    Q_OBJECT
public:
    explicit ImagePreview(QWidget* parent = nullptr);

    // Shows `paths` starting at `index` and brings the window to the front. False, and nothing
    // changed, when there is no file at that position.
    bool open(const QStringList& paths, int index = 0);
    int count() const { return static_cast<int>(m_items.size()); }
    int currentIndex() const { return m_index; }
    QString currentPath() const;
    // True while the current file is being decoded.
    bool isLoading() const { return m_loading; }
    // True once the current file has been decoded as a picture.
    bool hasPicture() const { return !m_picture.isNull(); }

signals:
    void pictureLoaded(bool ok);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Shows the item at `index`, clamped to the list.
    void showItem(int index);
    void loaded(quint64 generation, const QImage& image);
    void updateCaption();
    void updatePicture();

    QLabel* m_pictureLabel;
    QLabel* m_caption;
    QStringList m_items;
    int m_index = -1;
    QPixmap m_picture;
    bool m_loading = false;
    quint64 m_generation = 0;
};
