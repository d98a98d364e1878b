#pragma once

#include <QUrl>

// Opens a web page in the user's browser, or a folder in the file manager. Tests replace it with
// a recorder.
class UrlOpener {
public:
    virtual ~UrlOpener() = default;
    // False when nothing on this computer could open it (no browser, no file manager).
    virtual bool openUrl(const QUrl& url) = 0;
};
