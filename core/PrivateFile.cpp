#include "PrivateFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

bool PrivateFile::create(const QString& path) {
    QFile file(path);
    if (!file.exists()) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        if (!file.open(QIODevice::WriteOnly)) return false;
        file.close();
    }
    constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner |
                                                    QFileDevice::WriteOwner |
                                                    QFileDevice::ReadUser | QFileDevice::WriteUser;
    return file.permissions() == kOwnerOnly || file.setPermissions(kOwnerOnly);
}
