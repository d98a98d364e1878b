#include "ConsoleLog.h"

#include <atomic>

Q_LOGGING_CATEGORY(lcService, "vorpane.service", QtInfoMsg)
Q_LOGGING_CATEGORY(lcUi, "vorpane.ui", QtInfoMsg)

namespace {
std::atomic<bool> g_enabled{true};
}  // namespace

namespace ConsoleLog {

void line(const QString& text) {
    line(lcService(), text);
}

void line(const QLoggingCategory& category, const QString& text) {
    if (!g_enabled.load(std::memory_order_relaxed) || !category.isDebugEnabled()) return;
    QMessageLogger(nullptr, 0, nullptr, category.categoryName()).debug().noquote() << text;
}

QString debugQuoted(const QString& text) {
    QString out;
    out.reserve(text.size() + 2);
    out += QLatin1Char('"');
    for (const QChar c : text) {
        switch (c.unicode()) {
            case '"':
                out += QLatin1String("\\\"");
                break;
            case '\\':
                out += QLatin1String("\\\\");
                break;
            case '\n':
                out += QLatin1String("\\n");
                break;
            case '\r':
                out += QLatin1String("\\r");
                break;
            case '\t':
                out += QLatin1String("\\t");
                break;
            default:
                out += c;
        }
    }
    out += QLatin1Char('"');
    return out;
}

QString maskedSecret(const QString& secret) {
    if (secret.isEmpty()) return QString();
    return secret.left(4) + QStringLiteral("... (%1 characters)").arg(secret.size());
}

void setEnabled(bool enabled) {
    g_enabled.store(enabled, std::memory_order_relaxed);
}

void enableVerbose() {
    QLoggingCategory::setFilterRules(QStringLiteral("vorpane.*.debug=true"));
}

}  // namespace ConsoleLog
