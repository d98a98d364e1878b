#pragma once

#include "UrlOpener.h"

// Opens pages in the user's default browser and folders in the file manager.
class DesktopUrlOpener final : public UrlOpener {
public:
    bool openUrl(const QUrl& url) override;
};
