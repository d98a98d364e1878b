#include "ConsoleLog.h"

#include <QMutex>
#include <atomic>
#include <cstdio>

namespace {
std::atomic<bool> g_enabled{true};
QMutex g_mutex;
}  // namespace

namespace ConsoleLog {

void line(const QString& text) {
    if (!g_enabled.load(std::memory_order_relaxed)) return;
    const QByteArray bytes = text.toUtf8();
    QMutexLocker lock(&g_mutex);
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
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

}  // namespace ConsoleLog
