#include "BusyIndicator.h"

#include <QPainter>
#include <QTimerEvent>

namespace {
constexpr int kSpokes = 8;
constexpr int kIntervalMs = 90;
}  // namespace

BusyIndicator::BusyIndicator(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFixedSize(sizeHint());
}

void BusyIndicator::start() {
    m_running = true;
    updateTimer();
}

void BusyIndicator::stop() {
    m_running = false;
    updateTimer();
}

void BusyIndicator::updateTimer() {
    if (m_running && isVisible()) {
        if (!m_timer.isActive()) m_timer.start(kIntervalMs, this);
    } else {
        m_timer.stop();
    }
}

void BusyIndicator::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    updateTimer();
}

void BusyIndicator::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    updateTimer();
}

void BusyIndicator::timerEvent(QTimerEvent* event) {
    if (event->timerId() != m_timer.timerId()) return QWidget::timerEvent(event);
    m_step = (m_step + 1) % kSpokes;
    update();
}

void BusyIndicator::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal side = qMin(width(), height());
    p.translate(width() / 2.0, height() / 2.0);
    const qreal outer = side / 2.0 - 1.0;
    const qreal inner = outer * 0.45;
    QPen pen(QColor(0x1a, 0x73, 0xe8));
    pen.setWidthF(qMax(1.5, side / 9.0));
    pen.setCapStyle(Qt::RoundCap);
    for (int i = 0; i < kSpokes; ++i) {
        // The spoke at the current step is the darkest; the others fade behind it.
        const int age = (m_step - i + kSpokes) % kSpokes;
        QColor c = pen.color();
        c.setAlphaF(1.0 - age * (0.85 / kSpokes));
        pen.setColor(c);
        p.setPen(pen);
        p.save();
        p.rotate(360.0 * i / kSpokes);
        p.drawLine(QPointF(0, -inner), QPointF(0, -outer));
        p.restore();
    }
}
