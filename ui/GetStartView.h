#pragma once

#include <QWidget>
#include <functional>

class Button;
class QFrame;
class QGraphicsOpacityEffect;
class QPropertyAnimation;

// The get-start screen laid over the whole window while no API key is stored. It fades in and
// out in 0.6 s.
class GetStartView final : public QWidget {
    Q_OBJECT
public:
    static constexpr int kFadeMs = 600;

    explicit GetStartView(QWidget* parent = nullptr);

    Button* btnGetStart() const { return m_btnGetStart; }
    QFrame* headerViewGetStart() const { return m_header; }
    // The current opacity (1 when no fade is running).
    qreal opacity() const;
    void fadeIn();
    // Fades out, then runs `done`.
    void fadeOut(std::function<void()> done);

private:
    void fade(qreal from, qreal to, std::function<void()> done);

    QFrame* m_header;
    Button* m_btnGetStart;
    QGraphicsOpacityEffect* m_effect = nullptr;
    QPropertyAnimation* m_animation = nullptr;
};
