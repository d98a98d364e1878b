#pragma once

#include <QString>

// The two generic failure texts. They differ in the case of one letter and each site shows its own.
struct ErrorMsg final {
    // Credit check and version check: the reply carried no readable JSON.
    static inline const QString somethingWentWrongLower =
        QStringLiteral("Oops! something went wrong.");
    // Background removal: the exchange broke down.
    static inline const QString somethingWentWrongUpper =
        QStringLiteral("Oops! Something went wrong.");
};
