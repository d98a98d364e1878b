#pragma once

#include <QString>

// Names of the persisted settings.
struct UserDefaultKeys final {
    static inline const QString apiKey = QStringLiteral("api_key");
    static inline const QString isFirst = QStringLiteral("isFirst");
    static inline const QString appVersion = QStringLiteral("app_version");
    static inline const QString outputFolder = QStringLiteral("output_folder");
    // How many images a run keeps in flight at once (1 to 8).
    static inline const QString imagesAtATime = QStringLiteral("images_at_a_time");
};
