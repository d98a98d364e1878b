#include "WindowState.h"

bool WindowState::Controls::operator==(const Controls& o) const {
    return dragViewVisible == o.dragViewVisible && imageViewVisible == o.imageViewVisible &&
           contentScrollVisible == o.contentScrollVisible &&
           bottomViewVisible == o.bottomViewVisible &&
           lblRemainCreditVisible == o.lblRemainCreditVisible &&
           lblUploadCountVisible == o.lblUploadCountVisible &&
           lblUploadCountText == o.lblUploadCountText && btnStartEnabled == o.btnStartEnabled &&
           btnStartTitle == o.btnStartTitle && btnAddEnabled == o.btnAddEnabled &&
           btnClearListEnabled == o.btnClearListEnabled && creditText == o.creditText;
}

WindowState::WindowState(QObject* parent) : QObject(parent) {}

void WindowState::apply(const std::function<void(Controls&)>& change) {
    Controls next = m_controls;
    change(next);
    if (next == m_controls) return;
    m_controls = std::move(next);
    emit changed();
}
