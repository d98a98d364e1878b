#include "ListCell.h"

#include "Button.h"

#include <QMouseEvent>
#include <QPainter>
#include <QTimer>

ListCell::ListCell(QWidget* parent) : QWidget(parent) {}

void ListCell::bind(std::shared_ptr<DataModel> record) {
    m_record = std::move(record);
    refresh();
}

Button* ListCell::makeRowButton(const QString& icon, const QString& objectName,
                                const QString& toolTip, std::function<void()> clicked) {
    auto* button = new Button(this);
    button->setObjectName(objectName);
    button->setIcon(QIcon(icon));
    button->setIconSize(QSize(18, 18));
    button->setFixedSize(28, 28);
    button->setFlat(true);
    button->setToolTip(toolTip);
    button->setStyleSheet(
        QStringLiteral("QPushButton { border: none; border-radius: 5px; background: transparent; }"
                       "QPushButton:hover { background: rgba(0, 0, 0, 0.08); }"
                       "QPushButton:focus { border: 1px solid #1a73e8; }"));
    button->hide();
    connect(button, &QPushButton::clicked, this, [this, clicked = std::move(clicked)] {
        if (m_record) clicked();
    });
    return button;
}

void ListCell::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && m_record) {
        event->accept();
        emit activated(m_record);
        return;
    }
    QWidget::mouseDoubleClickEvent(event);
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
        if (m_partner) {
            m_partner->update();
            m_partner->highlightChanged();
        }
    });
}

void ListCell::paintEvent(QPaintEvent*) {
    QPainter p(this);
    if (isRowHighlighted()) p.fillRect(rect(), QColor(0, 0, 0, 13));  // black at alpha 0.05
    // A hairline between rows.
    p.fillRect(QRect(0, height() - 1, width(), 1), QColor(0, 0, 0, 18));
}
