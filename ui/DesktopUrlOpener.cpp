#include "DesktopUrlOpener.h"

#include <QDesktopServices>

void DesktopUrlOpener::openUrl(const QUrl& url) {
    QDesktopServices::openUrl(url);
}
