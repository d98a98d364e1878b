#pragma once

#include <QPushButton>

class QMenu;

// The application's push button: the pointing-hand cursor over its whole bounds.
class Button : public QPushButton {
    Q_OBJECT
public:
    explicit Button(QWidget* parent = nullptr);
    explicit Button(const QString& text, QWidget* parent = nullptr);
};

// A button with a main part and an arrow part: clicking the main part does the button's own
// action (clicked()), the arrow part (or Alt+Down / F4) opens the drop-down of related actions.
class SplitButton final : public Button {
    Q_OBJECT
public:
    static constexpr int kArrowWidth = 26;

    explicit SplitButton(const QString& text, QWidget* parent = nullptr);
    void setDropDown(QMenu* menu) { m_dropDown = menu; }
    QMenu* dropDown() const { return m_dropDown; }
    // Opens the drop-down under the button.
    void showDropDown();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QMenu* m_dropDown = nullptr;
};
