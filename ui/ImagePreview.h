#pragma once

#include <QColor>
#include <QDialog>
#include <QImage>
#include <QList>
#include <QString>

#include "ReviewCanvas.h"

class ElidedLabel;
class QComboBox;
class QLabel;
class QSlider;

// The review window: the saved results one at a time, zoomed with the wheel, Ctrl++ / Ctrl+- /
// Ctrl+0 (fit) / Ctrl+1 (100 %) and panned by dragging, over a checkerboard, white, black or the
// chosen colour. Holding Space, or the split slider, shows the source photo in the result's place.
// Left and Right walk the list; Escape closes. Files are decoded off the main thread, and large
// ones are shown through a scaled copy.
class ImagePreview final : public QDialog {
    Q_OBJECT
public:
    struct Item {
        QString result;  // the saved result
        QString source;  // the photo it was made from; may be empty or gone
    };
    // Pictures larger than this are shown through a scaled copy of at most this many pixels.
    static constexpr qint64 kMaxShownPixels = 16LL * 1024 * 1024;

    explicit ImagePreview(QWidget* parent = nullptr);

    // Shows `items` starting at `index` and brings the window to the front. False, and nothing
    // changed, when there is no file at that position.
    bool open(const QList<Item>& items, int index = 0);
    // The colour the "Chosen color" backdrop shows; invalid when none is chosen.
    void setChosenColor(const QColor& color);

    int count() const { return static_cast<int>(m_items.size()); }
    int currentIndex() const { return m_index; }
    QString currentPath() const;
    // True while the current file is being decoded.
    bool isLoading() const { return m_loading; }
    // True once the current file has been decoded as a picture.
    bool hasPicture() const { return m_pixelSize.isValid(); }
    QSize pixelSize() const { return m_pixelSize; }
    ReviewCanvas* canvas() const { return m_canvas; }

signals:
    void pictureLoaded(bool ok);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;

private:
    struct Decoded {
        ReviewCanvas::Picture result;
        ReviewCanvas::Picture source;
        QSize pixelSize;
    };
    static Decoded decode(const Item& item);
    // Shows the item at `index`, clamped to the list.
    void showItem(int index);
    void loaded(quint64 generation, const Decoded& decoded);
    void updateCaption();
    void applyBackdrop();

    ReviewCanvas* m_canvas;
    QComboBox* m_backdrop;
    QSlider* m_split;
    ElidedLabel* m_caption;
    QLabel* m_zoomLabel;
    QList<Item> m_items;
    int m_index = -1;
    QSize m_pixelSize;
    QColor m_chosen;
    bool m_loading = false;
    quint64 m_generation = 0;
};
