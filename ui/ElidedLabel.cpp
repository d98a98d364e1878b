#include "ElidedLabel.h"

ElidedLabel::ElidedLabel(Qt::TextElideMode mode, QWidget* parent) : QLabel(parent), m_mode(mode) {
    setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setMinimumWidth(24);
}

void ElidedLabel::setFullText(const QString& text) {
    if (text == m_fullText) return;
    m_fullText = text;
    setToolTip(text.trimmed());
    setAccessibleName(text.trimmed());
    updateText();
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    updateText();
}

void ElidedLabel::updateText() {
    setText(fontMetrics().elidedText(m_fullText, m_mode, qMax(0, contentsRect().width())));
}
