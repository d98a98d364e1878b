#pragma once

#include "UrlOpener.h"

// Opens pages in the user's default browser.
class DesktopUrlOpener final : public UrlOpener {
public:
    void openUrl(const QUrl& url) override;
};
