#include "ListCell.h"

#include <QPainter>
#include <QTimer>

ListCell::ListCell(QWidget* parent) : QWidget(parent) {}

void ListCell::bind(std::shared_ptr<DataModel> record) {
    m_record = std::move(record);
    refresh();
}

void ListCell::enterEvent(QEnterEvent* event) {
    QWidget::enterEvent(event);
    setHoverSoon(true);
}

void ListCell::leaveEvent(QEvent* event) {
    QWidget::leaveEvent(event);
    setHoverSoon(false);
}

void ListCell::setHoverSoon(bool hovered) {
    m_wantHighlight = hovered;
    if (m_hoverPending) return;
    m_hoverPending = true;
    QTimer::singleShot(0, this, [this] {
        m_hoverPending = false;
        if (m_highlight == m_wantHighlight) return;
        m_highlight = m_wantHighlight;
        update();
        highlightChanged();
    });
}

void ListCell::paintEvent(QPaintEvent*) {
    QPainter p(this);
    if (m_highlight) p.fillRect(rect(), QColor(0, 0, 0, 13));  // black at alpha 0.05
    // A hairline between rows.
    p.fillRect(QRect(0, height() - 1, width(), 1), QColor(0, 0, 0, 18));
}
