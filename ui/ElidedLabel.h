#pragma once

#include <QLabel>

// A one-line label that shortens its text with an ellipsis to fit its width; the full text is
// kept as the tool tip and the accessible name.
class ElidedLabel final : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(Qt::TextElideMode mode, QWidget* parent = nullptr);

    void setFullText(const QString& text);
    QString fullText() const { return m_fullText; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void updateText();

    Qt::TextElideMode m_mode;
    QString m_fullText;
};
