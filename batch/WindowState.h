#pragma once

#include <QObject>
#include <QString>
#include <functional>

// The state of the main window's controls as the logic sets it. The window renders it; tests
// read it without any widget.
class WindowState final : public QObject {
    Q_OBJECT
public:
    struct Controls {
        bool dragViewVisible = true;
        bool imageViewVisible = true;
        bool contentScrollVisible = false;
        bool bottomViewVisible = false;
        bool lblRemainCreditVisible = true;
        bool lblUploadCountVisible = false;
        QString lblUploadCountText;
        bool btnStartEnabled = true;
        QString btnStartTitle = QStringLiteral("START");
        bool btnAddEnabled = true;
        bool btnClearListEnabled = true;
        QString creditText;  // the credit display

        // While an image is on its way the queue cannot change: no drop, no add, no clear.
        void lockList() { setListUnlocked(false); }
        void unlockList() { setListUnlocked(true); }
        void setListUnlocked(bool unlocked) {
            dragViewVisible = unlocked;
            btnAddEnabled = unlocked;
            btnClearListEnabled = unlocked;
        }

        bool operator==(const Controls& o) const;
        bool operator!=(const Controls& o) const { return !(*this == o); }
    };

    explicit WindowState(QObject* parent = nullptr);

    const Controls& controls() const { return m_controls; }
    // Changes the controls; `changed` is emitted when anything differs.
    void apply(const std::function<void(Controls&)>& change);

signals:
    void changed();

private:
    Controls m_controls;
};
