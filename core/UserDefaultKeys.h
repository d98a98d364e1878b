#pragma once

#include <QString>

// Names of the persisted settings.
struct UserDefaultKeys final {
    static inline const QString apiKey = QStringLiteral("api_key");
    static inline const QString isFirst = QStringLiteral("isFirst");
    static inline const QString appVersion = QStringLiteral("app_version");
    static inline const QString outputFolder = QStringLiteral("output_folder");
    // A PEM file of certificate authorities trusted beside the system's (a self-hosted service).
    static inline const QString caFile = QStringLiteral("ca_file");
    // How many images a run keeps in flight at once (1 to 8).
    static inline const QString imagesAtATime = QStringLiteral("images_at_a_time");
    // What results are named after: "photo" (the default) or "service" (the result's address).
    static inline const QString resultNames = QStringLiteral("result_names");
    // Choices remembered across launches.
    static inline const QString backgroundType = QStringLiteral("background_type");
    static inline const QString backgroundColor = QStringLiteral("background_color");
    static inline const QString outputFormat = QStringLiteral("output_format");
    static inline const QString lastAddFolder = QStringLiteral("last_add_folder");
    static inline const QString windowGeometry = QStringLiteral("window_geometry");
};
