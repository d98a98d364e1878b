#pragma once

#include <QDialog>
#include <QPixmap>
#include <QString>

class QLabel;

// A window that shows one saved result, scaled to fit. Space or Escape closes it. The file is
// decoded off the main thread.
class ImagePreview final : public QDialog {
    Q_OBJECT
public:
    explicit ImagePreview(QWidget* parent = nullptr);

    // Shows the file. False, and nothing shown, when there is no such file.
    bool showFile(const QString& path);
    QString currentPath() const { return m_path; }
    // True once the current file has been decoded as a picture.
    bool hasPicture() const { return !m_picture.isNull(); }

signals:
    void pictureLoaded(bool ok);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void loaded(quint64 generation, const QImage& image);
    void updatePicture();

    QLabel* m_label;
    QString m_path;
    QPixmap m_picture;
    quint64 m_generation = 0;
};
