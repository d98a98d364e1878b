#pragma once

#include <QPixmap>
#include <QStringList>
#include <QWidget>

class QLabel;

// The preview window of the settings sheet: shows the chosen images one at a time. Left and
// Right move through them; Space or Escape closes the window.
class SheetPreview final : public QWidget {
    Q_OBJECT
public:
    explicit SheetPreview(QWidget* parent = nullptr);

    // Replaces the images and shows the first one.
    void setItems(const QStringList& paths);
    int count() const { return static_cast<int>(m_items.size()); }
    int currentIndex() const { return m_index; }
    QString currentPath() const;
    // True when the current file could be decoded.
    bool hasPicture() const { return !m_picture.isNull(); }
    // Shows the item at `index` (clamped to the list).
    void showItem(int index);
    // Brings the window to the front and gives it the keyboard.
    void bringToFront();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void updatePicture();

    QLabel* m_pictureLabel = nullptr;
    QLabel* m_caption = nullptr;
    QStringList m_items;
    int m_index = -1;
    QPixmap m_picture;
};
