#pragma once

#include <QBasicTimer>
#include <QWidget>

// A small spinning indicator. It animates only while it runs and is visible.
class BusyIndicator final : public QWidget {
    Q_OBJECT
public:
    explicit BusyIndicator(QWidget* parent = nullptr);

    void start();
    void stop();
    bool isAnimating() const { return m_running; }
    QSize sizeHint() const override { return {18, 18}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void updateTimer();

    QBasicTimer m_timer;
    bool m_running = false;
    int m_step = 0;
};
