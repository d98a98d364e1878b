#pragma once

#include <QUrl>

// Opens a web page in the user's browser. Tests replace it with a recorder.
class UrlOpener {
public:
    virtual ~UrlOpener() = default;
    virtual void openUrl(const QUrl& url) = 0;
};
